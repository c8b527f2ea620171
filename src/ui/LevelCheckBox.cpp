#include "ui/LevelCheckBox.h"

#include <QMouseEvent>

LevelCheckBox::LevelCheckBox(const QString &text, QWidget *parent) : QCheckBox(text, parent)
{
    setTristate(true);
}

void LevelCheckBox::setLevel(int level)
{
    m_level = level;
    showLevel();
}

void LevelCheckBox::showLevel()
{
    static constexpr Qt::CheckState shown[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
    setCheckState(m_level >= 0 && m_level <= 2 ? shown[m_level] : Qt::Unchecked);
}

void LevelCheckBox::mousePressEvent(QMouseEvent *event)
{
    // Any mouse button counts, as on the plants' existing stations.
    m_level = m_level < 2 ? m_level + 1 : 0;
    showLevel();
    emit levelChanged(m_level);
    QCheckBox::mousePressEvent(event);
}

void LevelCheckBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The second press of a double click is not a press of its own: one step per double click.
    QCheckBox::mousePressEvent(event);
}

void LevelCheckBox::nextCheckState()
{
    // The click that follows a press (or the space bar) shows the level again instead of
    // stepping QCheckBox's own cycle.
    showLevel();
}
