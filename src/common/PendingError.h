#pragma once

#include <QString>

// The failure of the last operation of a component: a number and a description that stay
// pending until the caller has looked at them. Nothing in the gateway throws.
struct PendingError {
    int number = 0;
    QString description;

    bool isSet() const { return number != 0; }
    void set(int n, const QString &text)
    {
        number = n;
        description = text;
    }
    void clear()
    {
        number = 0;
        description.clear();
    }
};
