#pragma once

#include <QPixmap>

// The three status lights of the message window, drawn here rather than shipped as images.
enum class StatusLight { None, Green, Yellow, Red };

QPixmap statusLightImage(StatusLight light, int size = 32);
