#include "false_color.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace quilm_tools {
namespace {

using Rgb = std::array<std::uint8_t, 3>;

// Anchor colours of the depth scale, nearest first, evenly spaced; colours
// between two anchors are interpolated linearly.
constexpr std::array<Rgb, 7> kScaleAnchors{{
    {200, 30, 40},    // nearest: deep red
    {245, 120, 35},   // orange
    {240, 215, 60},   // yellow
    {110, 200, 90},   // green
    {45, 175, 210},   // cyan
    {50, 85, 200},    // blue
    {45, 30, 120},    // farthest: indigo
}};

constexpr Rgb kNoColorBackground{70, 70, 70};
constexpr Rgb kFrameBackground{24, 24, 24};
constexpr Rgb kLabelInk{235, 235, 235};

// Share of the false colour where the registered depth lies over the
// colour image; the rest is the colour image, so edges of both show.
constexpr float kOverlayWeight = 0.6f;

constexpr int kPanelGap = 8;
constexpr int kBarHeight = 14;
constexpr int kLabelScale = 2;  // each font dot becomes 2 x 2 pixels

// A 5 x 7 dot font for the labels of the colour bar: one row per byte, the
// five low bits from left (bit 4) to right (bit 0).
struct Glyph {
  char symbol;
  std::array<std::uint8_t, 7> rows;
};
constexpr std::array<Glyph, 12> kFont{{
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'m', {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11}},
    {' ', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
}};
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kGlyphAdvance = (kGlyphWidth + 1) * kLabelScale;
constexpr int kLabelHeight = (kGlyphHeight + 4) * kLabelScale;

const Glyph* FindGlyph(char c) {
  for (const Glyph& g : kFont) {
    if (g.symbol == c) return &g;
  }
  return nullptr;
}

void PutPixel(ColorImage& image, int u, int v, Rgb c) {
  if (u < 0 || v < 0 || u >= image.width || v >= image.height) return;
  std::copy(c.begin(), c.end(), image.at(u, v));
}

int TextWidth(const std::string& text) { return static_cast<int>(text.size()) * kGlyphAdvance; }

void DrawText(ColorImage& image, int left, int top, const std::string& text) {
  for (std::size_t k = 0; k < text.size(); ++k) {
    const Glyph* glyph = FindGlyph(text[k]);
    if (!glyph) continue;
    const int x0 = left + static_cast<int>(k) * kGlyphAdvance;
    for (int row = 0; row < kGlyphHeight; ++row) {
      for (int col = 0; col < kGlyphWidth; ++col) {
        if (!((glyph->rows[static_cast<std::size_t>(row)] >> (kGlyphWidth - 1 - col)) & 1)) continue;
        for (int dy = 0; dy < kLabelScale; ++dy) {
          for (int dx = 0; dx < kLabelScale; ++dx) {
            PutPixel(image, x0 + col * kLabelScale + dx, top + row * kLabelScale + dy, kLabelInk);
          }
        }
      }
    }
  }
}

std::uint8_t Mix(std::uint8_t a, std::uint8_t b, float weight_b) {
  const float v = static_cast<float>(a) * (1.0f - weight_b) + static_cast<float>(b) * weight_b;
  return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

Rgb ScaleColor(float t) {
  t = std::clamp(t, 0.0f, 1.0f);
  const float pos = t * static_cast<float>(kScaleAnchors.size() - 1);
  const auto lower = std::min(static_cast<std::size_t>(pos), kScaleAnchors.size() - 2);
  const float frac = pos - static_cast<float>(lower);
  Rgb out{};
  for (std::size_t c = 0; c < 3; ++c) {
    out[c] = Mix(kScaleAnchors[lower][c], kScaleAnchors[lower + 1][c], frac);
  }
  return out;
}

// Registered depth over the colour image, at the colour image's size.
void DrawOverlayPanel(ColorImage& canvas, const DepthImage& registered, const ColorImage* color,
                      DepthScale scale) {
  // Without a colour image there is nothing to see through the depth.
  const float weight = color ? kOverlayWeight : 1.0f;
  for (int v = 0; v < registered.height; ++v) {
    for (int u = 0; u < registered.width; ++u) {
      Rgb base = kNoColorBackground;
      if (color) std::copy(color->at(u, v), color->at(u, v) + 3, base.begin());
      const std::uint16_t d = registered.at(u, v);
      Rgb out = base;
      if (d != 0) {
        const Rgb fc = FalseColor(d, scale);
        for (std::size_t c = 0; c < 3; ++c) out[c] = Mix(base[c], fc[c], weight);
      }
      PutPixel(canvas, u, v, out);
    }
  }
}

// Input depth in false colour, nearest-neighbour scaled to panel_height.
void DrawDepthPanel(ColorImage& canvas, int left, int panel_width, int panel_height,
                    const DepthImage& depth, DepthScale scale) {
  for (int y = 0; y < panel_height; ++y) {
    const int v = static_cast<int>(static_cast<long long>(y) * depth.height / panel_height);
    for (int x = 0; x < panel_width; ++x) {
      const int u = static_cast<int>(static_cast<long long>(x) * depth.width / panel_width);
      const std::uint16_t d = depth.at(u, v);
      PutPixel(canvas, left + x, y, d == 0 ? Rgb{0, 0, 0} : FalseColor(d, scale));
    }
  }
}

std::string MillimetreLabel(std::uint16_t depth, float unit_mm) {
  const double mm = static_cast<double>(depth) * static_cast<double>(unit_mm);
  return std::to_string(std::lround(std::max(mm, 0.0))) + " mm";
}

void DrawColorBar(ColorImage& canvas, int top, DepthScale scale, float unit_mm) {
  const int width = canvas.width;
  for (int x = 0; x < width; ++x) {
    const Rgb c = ScaleColor(width > 1 ? static_cast<float>(x) / static_cast<float>(width - 1) : 0.0f);
    for (int y = 0; y < kBarHeight; ++y) PutPixel(canvas, x, top + y, c);
  }
  const int label_top = top + kBarHeight + kLabelScale * 2;
  const auto middle = static_cast<std::uint16_t>((scale.nearest + scale.farthest) / 2);
  const std::string near_text = MillimetreLabel(scale.nearest, unit_mm);
  const std::string mid_text = MillimetreLabel(middle, unit_mm);
  const std::string far_text = MillimetreLabel(scale.farthest, unit_mm);
  DrawText(canvas, 2, label_top, near_text);
  DrawText(canvas, (width - TextWidth(mid_text)) / 2, label_top, mid_text);
  DrawText(canvas, width - TextWidth(far_text) - 2, label_top, far_text);
}

}  // namespace

DepthScale ChooseDepthScale(const DepthImage& depth) {
  std::vector<std::uint32_t> histogram(65536, 0);
  std::size_t count = 0;
  for (std::uint16_t d : depth.pixels) {
    if (d == 0) continue;
    ++histogram[d];
    ++count;
  }
  if (count == 0) return DepthScale{};
  const std::size_t low_rank = count / 100;
  const std::size_t high_rank = count - 1 - count / 100;
  DepthScale scale;
  std::size_t seen = 0;
  bool low_found = false;
  for (std::size_t d = 1; d < histogram.size(); ++d) {
    seen += histogram[d];
    if (!low_found && seen > low_rank) {
      scale.nearest = static_cast<std::uint16_t>(d);
      low_found = true;
    }
    if (seen > high_rank) {
      scale.farthest = static_cast<std::uint16_t>(d);
      break;
    }
  }
  if (scale.farthest <= scale.nearest) {
    scale.farthest = static_cast<std::uint16_t>(std::min(scale.nearest + 1, 65535));
  }
  return scale;
}

std::array<std::uint8_t, 3> FalseColor(std::uint16_t depth, DepthScale scale) {
  const float span = static_cast<float>(std::max(scale.farthest - scale.nearest, 1));
  return ScaleColor((static_cast<float>(depth) - static_cast<float>(scale.nearest)) / span);
}

ColorImage ComposeView(const DepthImage& input_depth, const DepthImage& registered,
                       const ColorImage* color, DepthScale scale, float unit_mm) {
  if (color && (color->width != registered.width || color->height != registered.height)) {
    throw ImageError("the colour image is " + std::to_string(color->width) + "x" +
                     std::to_string(color->height) + " but the registered depth is " +
                     std::to_string(registered.width) + "x" + std::to_string(registered.height));
  }
  const int panel_height = registered.height;
  const int depth_panel_width = input_depth.height > 0
      ? static_cast<int>(static_cast<long long>(input_depth.width) * panel_height / input_depth.height)
      : 0;
  const int width = registered.width + kPanelGap + depth_panel_width;
  const int height = panel_height + kBarHeight + kLabelHeight + kLabelScale * 2;

  ColorImage canvas(width, height);
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) PutPixel(canvas, u, v, kFrameBackground);
  }
  DrawOverlayPanel(canvas, registered, color, scale);
  if (depth_panel_width > 0) {
    DrawDepthPanel(canvas, registered.width + kPanelGap, depth_panel_width, panel_height,
                   input_depth, scale);
  }
  DrawColorBar(canvas, panel_height, scale, unit_mm);
  return canvas;
}

}  // namespace quilm_tools
