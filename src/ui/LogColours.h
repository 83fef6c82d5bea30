// The colours of the traffic log's text by what it is: blocks sent by the client to the
// server, blocks sent back, and the log's own lines (session starts and ends, errors).
// They are worked out from the background they are drawn on, so that they read in a light
// and in a dark palette: a blue for the client's blocks and an orange for the server's,
// which stay apart for the common colour-vision deficiencies (blue against orange differs
// in the blue-yellow axis that protanopes and deuteranopes keep, and in lightness for
// tritanopes), each as colourful as it can be while keeping its contrast with the
// background. The client's blue keeps more contrast than the server's orange, so that the
// two also differ in lightness and print as two greys on a black and white printer.
//
// GUI thread only (QPalette).
#pragma once

#include <QColor>

#include "module/LogRecord.h"

class QPalette;

struct CLogColours {
    QColor clientToServer;
    QColor serverToClient;
    QColor other;  // the log's own lines, drawn in italics as well

    // The smallest contrast ratios kept against the background.
    static constexpr double kClientContrast = 7.0;
    static constexpr double kServerContrast = 4.5;
    static constexpr double kOtherContrast = 4.5;

    static CLogColours ForBackground(const QColor& background, const QColor& text);
    // For the base and text of a view's palette.
    static CLogColours ForPalette(const QPalette& palette);
    // For white paper: the client's blue darker (far from the orange in grey), the log's own
    // lines black.
    static CLogColours ForPrint();

    const QColor& ForDirection(LogDirection direction) const {
        return direction == LogDirection::ServerToClient ? serverToClient : clientToServer;
    }
};

namespace logcolours {

// The setting that holds whether the log is coloured by direction (1, the default) or not.
inline constexpr const wchar_t* kSettingName = L"Colour by Direction";
// GUI thread. Whether the setting is on.
bool SettingOn();

// The relative luminance of an sRGB colour, 0 (black) to 1 (white).
double RelativeLuminance(const QColor& colour);
// (L1 + 0.05) / (L2 + 0.05) with L1 the lighter: 1 (none) to 21 (black on white).
double ContrastRatio(const QColor& a, const QColor& b);

}  // namespace logcolours
