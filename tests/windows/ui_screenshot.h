// Screenshots for the window tests: a screen rectangle read back through GDI
// (under Wine: the X display, Xvfb in the tests) into 24-bit pixels, pixel
// look-ups, and a PNG writer (stored deflate blocks, so no compression
// library is needed; the files are small enough).
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zem::testing {

struct Pixel {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Pixel&, const Pixel&) = default;
};

struct Screenshot {
  int width = 0, height = 0;
  std::vector<Pixel> pixels;  // rows top to bottom
  Pixel At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Reads the screen rectangle `r` (screen coordinates).
inline Screenshot CaptureScreen(RECT r) {
  Screenshot shot;
  shot.width = r.right - r.left;
  shot.height = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = shot.width;
  bi.bmiHeader.biHeight = -shot.height;  // top-down
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, dib);
  BitBlt(mem, 0, 0, shot.width, shot.height, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const auto* p = static_cast<const uint8_t*>(bits);
  shot.pixels.resize(static_cast<size_t>(shot.width) * shot.height);
  for (size_t i = 0; i < shot.pixels.size(); ++i) {
    shot.pixels[i] = Pixel{p[i * 4 + 2], p[i * 4 + 1], p[i * 4 + 0]};
  }
  SelectObject(mem, old);
  DeleteObject(dib);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return shot;
}

namespace png_internal {

inline uint32_t Crc(const uint8_t* data, size_t n, uint32_t crc = 0xffffffffu) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
  return crc;
}

inline void Be32(std::string& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>((v >> s) & 0xff));
}

inline void Chunk(std::string& out, const char* type, const std::string& data) {
  Be32(out, static_cast<uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  out += body;
  Be32(out, Crc(reinterpret_cast<const uint8_t*>(body.data()), body.size()) ^ 0xffffffffu);
}

}  // namespace png_internal

// Writes an RGB PNG; false when the file cannot be written.
inline bool WritePng(const std::filesystem::path& file, const Screenshot& shot) {
  using namespace png_internal;
  std::string raw;
  raw.reserve(static_cast<size_t>(shot.height) * (1 + shot.width * 3));
  for (int y = 0; y < shot.height; ++y) {
    raw.push_back(0);  // filter: none
    for (int x = 0; x < shot.width; ++x) {
      const Pixel p = shot.At(x, y);
      raw.push_back(static_cast<char>(p.r));
      raw.push_back(static_cast<char>(p.g));
      raw.push_back(static_cast<char>(p.b));
    }
  }
  std::string z = "\x78\x01";  // zlib, no compression
  for (size_t at = 0; at < raw.size() || at == 0;) {
    const size_t n = std::min<size_t>(65535, raw.size() - at);
    const bool last = at + n >= raw.size();
    z.push_back(last ? 1 : 0);
    z.push_back(static_cast<char>(n & 0xff));
    z.push_back(static_cast<char>(n >> 8));
    z.push_back(static_cast<char>(~n & 0xff));
    z.push_back(static_cast<char>((~n >> 8) & 0xff));
    z.append(raw, at, n);
    at += n;
    if (last) break;
  }
  uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  Be32(z, (b << 16) | a);

  std::string png = "\x89PNG\r\n\x1a\n";
  std::string ihdr;
  Be32(ihdr, static_cast<uint32_t>(shot.width));
  Be32(ihdr, static_cast<uint32_t>(shot.height));
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
  Chunk(png, "IHDR", ihdr);
  Chunk(png, "IDAT", z);
  Chunk(png, "IEND", "");
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(png.data(), static_cast<std::streamsize>(png.size()));
  return static_cast<bool>(out);
}

}  // namespace zem::testing
