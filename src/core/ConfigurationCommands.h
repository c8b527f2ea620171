#pragma once

#include "config/Configuration.h"
#include "core/CoreParts.h"

// The window's view of the configuration class.
class ConfigurationCommands : public ConfigCommands
{
public:
    explicit ConfigurationCommands(Configuration &config) : m_config(config) {}
    void loadConfiguration() override { m_config.loadConfiguration(); }
    void saveConfiguration() override { m_config.saveConfiguration(); }
    void saveAs() override { m_config.saveAs(); }

private:
    Configuration &m_config;
};
