#pragma once

#include "common/Services.h"
#include "config/Configuration.h"

#include <functional>
#include <utility>

// The window's view of the configuration class. afterLoad runs after every load and save (the
// files that travel with the configuration file are read again then).
class ConfigurationCommands : public ConfigCommands
{
public:
    explicit ConfigurationCommands(Configuration &config, std::function<void()> afterLoad = {})
        : m_config(config), m_afterLoad(std::move(afterLoad))
    {
    }
    void loadConfiguration() override
    {
        m_config.loadConfiguration();
        loaded();
    }
    void saveConfiguration() override
    {
        m_config.saveConfiguration();
        loaded();
    }
    void saveAs() override
    {
        m_config.chooseConfigFile([this](bool chosen) {
            if (chosen)
                saveConfiguration();
        });
    }

private:
    void loaded()
    {
        if (m_afterLoad)
            m_afterLoad();
    }

    Configuration &m_config;
    std::function<void()> m_afterLoad;
};
