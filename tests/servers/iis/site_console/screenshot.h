// Screenshots of the dialogs as the private X server shows them, saved as
// PNG files for a reviewer (stored deflate blocks: no image library).
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace screenshot {

inline std::uint32_t Crc32(const std::uint8_t *data, size_t size, std::uint32_t crc = 0) {
  static std::uint32_t table[256] = {};
  if (table[1] == 0)
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

inline void PutBigEndian(std::vector<std::uint8_t> &out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

inline void PutChunk(std::vector<std::uint8_t> &png, const char *type, const std::vector<std::uint8_t> &data) {
  PutBigEndian(png, static_cast<std::uint32_t>(data.size()));
  std::vector<std::uint8_t> typed(type, type + 4);
  typed.insert(typed.end(), data.begin(), data.end());
  png.insert(png.end(), typed.begin(), typed.end());
  PutBigEndian(png, Crc32(typed.data(), typed.size()));
}

// rgb: height rows of width pixels, 3 bytes each.
inline std::vector<std::uint8_t> EncodePng(int width, int height, const std::vector<std::uint8_t> &rgb) {
  std::vector<std::uint8_t> raw;  // each row after its filter byte (0: none)
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), rgb.begin() + static_cast<size_t>(y) * width * 3,
               rgb.begin() + static_cast<size_t>(y + 1) * width * 3);
  }
  std::vector<std::uint8_t> zlib = {0x78, 0x01};
  std::uint32_t a = 1, b = 0;
  for (size_t at = 0; at < raw.size() || at == 0;) {
    size_t n = std::min<size_t>(65535, raw.size() - at);
    bool last = at + n == raw.size();
    zlib.push_back(last ? 1 : 0);
    zlib.push_back(static_cast<std::uint8_t>(n));
    zlib.push_back(static_cast<std::uint8_t>(n >> 8));
    zlib.push_back(static_cast<std::uint8_t>(~n));
    zlib.push_back(static_cast<std::uint8_t>(~n >> 8));
    for (size_t i = at; i < at + n; ++i) {
      a = (a + raw[i]) % 65521;
      b = (b + a) % 65521;
    }
    zlib.insert(zlib.end(), raw.begin() + at, raw.begin() + at + n);
    at += n;
    if (last) break;
  }
  PutBigEndian(zlib, (b << 16) | a);
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  PutBigEndian(header, static_cast<std::uint32_t>(width));
  PutBigEndian(header, static_cast<std::uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", zlib);
  PutChunk(png, "IEND", {});
  return png;
}

// The directory screenshots go to: SCREENSHOT_DIR, a Linux path seen
// through the prefix's Z: drive.
inline std::wstring Directory() {
  std::string unix = SCREENSHOT_DIR;
  std::wstring path = L"Z:";
  for (char c : unix) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

// Saves the screen area of a window as <Directory()>\<name>.png; false when
// the screen cannot be read.
inline bool Save(HWND window, const std::string &name) {
  RECT r;
  if (!GetWindowRect(window, &r)) return false;
  int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void *bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = bitmap != nullptr;
  if (ok) {
    HGDIOBJ previous = SelectObject(memory, bitmap);
    ok = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != FALSE;
    GdiFlush();
    std::vector<std::uint8_t> rgb;
    rgb.reserve(static_cast<size_t>(width) * height * 3);
    const auto *pixel = static_cast<const std::uint8_t *>(bits);
    for (int i = 0; ok && i < width * height; ++i, pixel += 4) rgb.insert(rgb.end(), {pixel[2], pixel[1], pixel[0]});
    if (ok) {
      CreateDirectoryW(Directory().c_str(), nullptr);
      std::vector<std::uint8_t> png = EncodePng(width, height, rgb);
      std::ofstream out(std::filesystem::path(Directory() + L"\\" + std::wstring(name.begin(), name.end()) + L".png"),
                        std::ios::binary);
      out.write(reinterpret_cast<const char *>(png.data()), static_cast<std::streamsize>(png.size()));
      ok = out.good();
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

}  // namespace screenshot
