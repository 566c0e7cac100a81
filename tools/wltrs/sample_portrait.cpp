// The sample holder's portrait, drawn from a few filled shapes so that it
// compresses into the card's 1024 bytes and is still recognisably a face.
#include "wlt_format.h"

namespace wltrs {

namespace {

enum Colour : uint8_t { kBackground = 0, kDark = 1, kSkin = 2, kJacket = 3 };

class Canvas {
 public:
  explicit Canvas(Image& image) : image_(image) {}

  void Ellipse(double cx, double cy, double rx, double ry, Colour colour, int minY = 0,
               int maxY = kPortraitHeight - 1) {
    for (int y = minY; y <= maxY; ++y)
      for (int x = 0; x < kPortraitWidth; ++x) {
        const double dx = (x + 0.5 - cx) / rx;
        const double dy = (y + 0.5 - cy) / ry;
        if (dx * dx + dy * dy <= 1.0) Set(x, y, colour);
      }
  }

  void Rect(int x0, int y0, int x1, int y1, Colour colour) {
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) Set(x, y, colour);
  }

  // Filled triangle pointing down: apex at (cx, apexY), top edge at topY
  // from cx - halfWidth to cx + halfWidth.
  void DownTriangle(double cx, int topY, int apexY, double halfWidth, Colour colour) {
    for (int y = topY; y <= apexY; ++y) {
      const double half = halfWidth * (apexY - y) / (apexY - topY);
      for (int x = 0; x < kPortraitWidth; ++x)
        if (x + 0.5 >= cx - half && x + 0.5 <= cx + half) Set(x, y, colour);
    }
  }

 private:
  void Set(int x, int y, Colour colour) {
    if (x < 0 || y < 0 || x >= kPortraitWidth || y >= kPortraitHeight) return;
    image_.pixels[static_cast<size_t>(y) * kPortraitWidth + static_cast<size_t>(x)] = colour;
  }

  Image& image_;
};

}  // namespace

Image DrawSamplePortrait() {
  Image image;
  image.width = kPortraitWidth;
  image.height = kPortraitHeight;
  image.palette = {{250, 250, 250}, {38, 32, 30}, {234, 196, 162}, {48, 60, 92}};
  image.pixels.assign(static_cast<size_t>(kPortraitWidth) * kPortraitHeight, kBackground);
  Canvas canvas(image);

  const double cx = kPortraitWidth / 2.0;
  // Shoulders in a dark jacket, a white shirt opening and the neck above it.
  canvas.Ellipse(cx, 142, 52, 44, kJacket);
  canvas.Rect(41, 78, 60, 100, kSkin);
  canvas.DownTriangle(cx, 98, 118, 12, kBackground);
  canvas.DownTriangle(cx, 98, 108, 7, kSkin);
  // Hair behind the head, ears, then the face below the fringe.
  canvas.Ellipse(cx, 48, 30, 34, kDark, 0, 62);
  canvas.Ellipse(cx - 25, 58, 4.5, 8, kSkin);
  canvas.Ellipse(cx + 25, 58, 4.5, 8, kSkin);
  canvas.Ellipse(cx, 57, 25, 31, kSkin, 36);
  // Brows, eyes, nose and mouth.
  canvas.Ellipse(cx - 10, 46.5, 6.5, 1.6, kDark);
  canvas.Ellipse(cx + 10, 46.5, 6.5, 1.6, kDark);
  canvas.Ellipse(cx - 10, 53.5, 3.8, 2.2, kDark);
  canvas.Ellipse(cx + 10, 53.5, 3.8, 2.2, kDark);
  canvas.Rect(49, 67, 52, 67, kDark);
  canvas.Ellipse(cx, 75.5, 7, 1.6, kDark);
  return image;
}

}  // namespace wltrs
