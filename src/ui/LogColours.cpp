#include "ui/LogColours.h"

#include <QPalette>

#include <algorithm>
#include <cmath>
#include <optional>

#include "settings/RegKeyTalvex.h"

namespace logcolours {

namespace {

double Linear(double dChannel) {
    return dChannel <= 0.04045 ? dChannel / 12.92 : std::pow((dChannel + 0.055) / 1.055, 2.4);
}

// The colour of hue nHue and the given saturation whose contrast with `background` is at
// least dContrast, at the lightness nearest the middle (the most colourful); without one
// the colour of the largest contrast.
QColor ColourWithContrast(int nHue, double dSaturation, const QColor& background,
                          double dContrast) {
    QColor best;
    double dBestDistance = 2.0;
    QColor strongest;
    double dStrongest = 0.0;
    for (int nStep = 0; nStep <= 100; ++nStep) {
        const double dLightness = nStep / 100.0;
        const QColor colour = QColor::fromHslF(nHue / 360.0f, static_cast<float>(dSaturation),
                                               static_cast<float>(dLightness));
        const double dRatio = ContrastRatio(colour, background);
        if (dRatio > dStrongest) {
            dStrongest = dRatio;
            strongest = colour;
        }
        const double dDistance = std::abs(dLightness - 0.5);
        if (dRatio >= dContrast && dDistance < dBestDistance) {
            dBestDistance = dDistance;
            best = colour;
        }
    }
    return best.isValid() ? best : strongest;
}

}  // namespace

bool SettingOn() {
    CRegKeyTalvex regKey;
    return regKey.QueryDWORD(kSettingName, 1) != 0;
}

double RelativeLuminance(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    return 0.2126 * Linear(rgb.redF()) + 0.7152 * Linear(rgb.greenF()) +
           0.0722 * Linear(rgb.blueF());
}

double ContrastRatio(const QColor& a, const QColor& b) {
    const double dA = RelativeLuminance(a);
    const double dB = RelativeLuminance(b);
    return (std::max(dA, dB) + 0.05) / (std::min(dA, dB) + 0.05);
}

}  // namespace logcolours

namespace {

constexpr int kBlueHue = 215;
constexpr int kOrangeHue = 28;
constexpr double kBlueSaturation = 0.85;
// On paper the client's blue is darker still, so that in grey it is far from the orange.
constexpr double kPrintClientContrast = 12.0;

}  // namespace

CLogColours CLogColours::ForBackground(const QColor& background, const QColor& text) {
    CLogColours colours;
    colours.clientToServer =
        logcolours::ColourWithContrast(kBlueHue, kBlueSaturation, background, kClientContrast);
    colours.serverToClient =
        logcolours::ColourWithContrast(kOrangeHue, 0.9, background, kServerContrast);
    // The log's own lines: the text's colour a third of the way to the background, as far
    // as the contrast allows.
    QColor other = text;
    for (int nPercent = 35; nPercent >= 0; nPercent -= 5) {
        const double d = nPercent / 100.0;
        other = QColor::fromRgbF(
            static_cast<float>(text.redF() + (background.redF() - text.redF()) * d),
            static_cast<float>(text.greenF() + (background.greenF() - text.greenF()) * d),
            static_cast<float>(text.blueF() + (background.blueF() - text.blueF()) * d));
        if (logcolours::ContrastRatio(other, background) >= kOtherContrast) {
            break;
        }
    }
    colours.other = other;
    return colours;
}

CLogColours CLogColours::ForPalette(const QPalette& palette) {
    // Every paint of the log asks, nearly always with the same two colours, and working the
    // contrasts out takes a search of powers: the last answer is kept, per thread.
    struct CLast {
        QColor base;
        QColor text;
        CLogColours colours;
    };
    thread_local std::optional<CLast> last;
    const QColor base = palette.color(QPalette::Base);
    const QColor text = palette.color(QPalette::Text);
    if (!last || last->base != base || last->text != text) {
        last = CLast{base, text, ForBackground(base, text)};
    }
    return last->colours;
}

CLogColours CLogColours::ForPrint() {
    CLogColours colours = ForBackground(Qt::white, Qt::black);
    colours.clientToServer =
        logcolours::ColourWithContrast(kBlueHue, kBlueSaturation, Qt::white, kPrintClientContrast);
    // On paper the italics tell the log's own lines apart; grey would only print faint.
    colours.other = Qt::black;
    return colours;
}
