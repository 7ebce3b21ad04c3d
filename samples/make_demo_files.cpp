// samples/make_demo_files.cpp -- writes the demo package's generated files into a folder: a
// firmware image of seeded pseudo-random bytes behind a small header, and the pages' logo as a
// PNG. The same bytes on every run, so the demo package is reproducible.
//
// Usage: kelvane-demo-files <folder>. Exit status 0, or 1 when a file cannot be written.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kFirmwareBytes = 1536 * 1024;
constexpr uint64_t kSeed = 0x4B454C56414E45ull;  // "KELVANE"
constexpr int kLogoWidth = 160;
constexpr int kLogoHeight = 48;

void PutLittle32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void PutBig32(std::string& out, uint32_t value) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t Crc(std::string_view bytes, uint32_t crc = 0) {
  return static_cast<uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// A 64-byte header (magic, format, version text, payload length and CRC-32) and the payload.
std::string Firmware() {
  std::string payload(kFirmwareBytes, '\0');
  uint64_t state = kSeed;
  for (char& byte : payload) {  // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    byte = static_cast<char>((state * 0x2545F4914F6CDD1Dull) >> 56);
  }
  std::string image = "KVFW";
  PutLittle32(image, 1);
  std::string version = "3.34";
  version.resize(16, '\0');
  image += version;
  PutLittle32(image, static_cast<uint32_t>(payload.size()));
  PutLittle32(image, Crc(payload));
  image.resize(64, '\0');
  return image + payload;
}

void PutChunk(std::string& png, std::string_view type, std::string_view data) {
  PutBig32(png, static_cast<uint32_t>(data.size()));
  std::string body(type);
  body += data;
  png += body;
  PutBig32(png, Crc(body));
}

// An RGB logo: a blue band with a lighter chevron, drawn from arithmetic.
std::string Logo() {
  std::string raw;
  for (int y = 0; y < kLogoHeight; ++y) {
    raw.push_back('\0');  // filter: none
    for (int x = 0; x < kLogoWidth; ++x) {
      const int d = (x % 40) - std::abs(y - kLogoHeight / 2);
      const bool mark = d >= 8 && d < 16;
      raw.push_back(static_cast<char>(mark ? 0xF0 : 0x20 + y));
      raw.push_back(static_cast<char>(mark ? 0xC0 : 0x50 + y));
      raw.push_back(static_cast<char>(mark ? 0x30 : 0xA0 + x / 4));
    }
  }
  std::vector<Bytef> packed(compressBound(static_cast<uLong>(raw.size())));
  uLongf packed_size = static_cast<uLongf>(packed.size());
  compress2(packed.data(), &packed_size, reinterpret_cast<const Bytef*>(raw.data()),
            static_cast<uLong>(raw.size()), 9);

  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  PutBig32(header, kLogoWidth);
  PutBig32(header, kLogoHeight);
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, deflate, no filter, no interlace
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT",
           std::string_view(reinterpret_cast<const char*>(packed.data()), packed_size));
  PutChunk(png, "IEND", "");
  return png;
}

bool WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && written;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 1;
  }
  const std::filesystem::path folder = argv[1];
  if (!WriteFile(folder / "firmware" / "kv3000-3.34.bin", Firmware()) ||
      !WriteFile(folder / "www" / "logo.png", Logo())) {
    std::fprintf(stderr, "%s: cannot write into %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
