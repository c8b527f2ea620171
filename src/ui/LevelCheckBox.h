#pragma once

#include <QCheckBox>

// A three-state box whose level only a mouse press changes, in the cycle 0, 1, 2, 0. Level 1
// shows as checked and level 2 as grayed, unlike QCheckBox's own order (unchecked, partial,
// checked). A keyboard toggle (space) or a click leaves the level where it is.
class LevelCheckBox : public QCheckBox
{
    Q_OBJECT
public:
    explicit LevelCheckBox(const QString &text, QWidget *parent = nullptr);

    int level() const { return m_level; }
    // Shows the level without emitting levelChanged.
    void setLevel(int level);

signals:
    void levelChanged(int level);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void nextCheckState() override;

private:
    void showLevel();
    int m_level = 0;
};
