// The status colours: readable text on every status, and statuses that colour-blind operators still
// tell apart, Not Connected most of all.
#include "app/view/StatusPalette.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

namespace {

using Vector = std::array<double, 3>;
using Matrix = std::array<Vector, 3>;

double Linear(uint32_t rgb, int shift) {
    const double c = ((rgb >> shift) & 0xFF) / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

Vector LinearRgb(uint32_t rgb) {
    return {Linear(rgb, 16), Linear(rgb, 8), Linear(rgb, 0)};
}

double Luminance(const Vector& v) {
    return 0.2126 * v[0] + 0.7152 * v[1] + 0.0722 * v[2];
}

double Contrast(uint32_t a, uint32_t b) {
    const double la = Luminance(LinearRgb(a));
    const double lb = Luminance(LinearRgb(b));
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// How a colour looks with a full deficiency of one kind of cone: the
// simulation matrices of Machado, Oliveira and Fernandes (2009), severity 1.
const Matrix NORMAL = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
const Matrix PROTANOPIA = {{{0.152286, 1.052583, -0.204868},
                            {0.114503, 0.786281, 0.099216},
                            {-0.003882, -0.048116, 1.051998}}};
const Matrix DEUTERANOPIA = {{{0.367322, 0.860646, -0.227968},
                              {0.280085, 0.672501, 0.047413},
                              {-0.011820, 0.042940, 0.968881}}};
const Matrix TRITANOPIA = {{{1.255528, -0.076749, -0.178779},
                            {-0.078411, 0.930809, 0.147602},
                            {0.004733, 0.691367, 0.303900}}};

// CIELAB of a linear RGB colour (D65).
Vector Lab(const Vector& rgb) {
    const double x = (0.4124 * rgb[0] + 0.3576 * rgb[1] + 0.1805 * rgb[2]) / 0.95047;
    const double y = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
    const double z = (0.0193 * rgb[0] + 0.1192 * rgb[1] + 0.9505 * rgb[2]) / 1.08883;
    const auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116; };
    return {116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))};
}

Vector Seen(uint32_t rgb, const Matrix& vision) {
    const Vector v = LinearRgb(rgb);
    Vector out{};
    for (size_t i = 0; i < 3; ++i) {
        out[i] =
            std::clamp(vision[i][0] * v[0] + vision[i][1] * v[1] + vision[i][2] * v[2], 0.0, 1.0);
    }
    return Lab(out);
}

double Difference(uint32_t a, uint32_t b, const Matrix& vision) {
    const Vector la = Seen(a, vision);
    const Vector lb = Seen(b, vision);
    return std::hypot(la[0] - lb[0], la[1] - lb[1], la[2] - lb[2]);
}

// A field without a status colour: white, or the light grey of read-only fields.
constexpr std::array<uint32_t, 2> PLAIN_FIELDS = {0xFFFFFF, 0xEFEFEF};
// Colours this far apart (CIE76) are told apart at a glance.
constexpr double DISTINCT = 20.0;

TEST(StatusPaletteTest, EveryStatusHasReadableTextAndNoOtherValueHasColours) {
    for (int32_t status = STATUS_NOT_CONNECTED; status <= STATUS_BUSY_SESSION; ++status) {
        const std::optional<StatusColours> colours = StatusColoursOf(status);
        ASSERT_TRUE(colours) << status;
        EXPECT_GE(Contrast(colours->background, colours->text), 4.5) << status;
    }
    EXPECT_FALSE(StatusColoursOf(-1));
    EXPECT_FALSE(StatusColoursOf(STATUS_BUSY_SESSION + 1));
}

TEST(StatusPaletteTest, ColourBlindOperatorsTellTheStatusesApartAndNotConnectedStandsOutMost) {
    const std::array<std::pair<const char*, Matrix>, 4> visions = {{{"normal", NORMAL},
                                                                    {"protanopia", PROTANOPIA},
                                                                    {"deuteranopia", DEUTERANOPIA},
                                                                    {"tritanopia", TRITANOPIA}}};
    for (const auto& [name, vision] : visions) {
        for (size_t a = 0; a < STATUS_COLOURS.size(); ++a) {
            for (size_t b = a + 1; b < STATUS_COLOURS.size(); ++b) {
                EXPECT_GE(
                    Difference(STATUS_COLOURS[a].background, STATUS_COLOURS[b].background, vision),
                    DISTINCT)
                    << name << ": statuses " << a << " and " << b;
            }
        }
        for (const uint32_t plain : PLAIN_FIELDS) {
            const double notConnected =
                Difference(STATUS_COLOURS[STATUS_NOT_CONNECTED].background, plain, vision);
            for (size_t other = 1; other < STATUS_COLOURS.size(); ++other) {
                EXPECT_GT(notConnected, Difference(STATUS_COLOURS[other].background, plain, vision))
                    << name << ": status " << other << " stands out as much";
            }
        }
    }
    EXPECT_TRUE(STATUS_COLOURS[STATUS_NOT_CONNECTED].bold);
}

}  // namespace
