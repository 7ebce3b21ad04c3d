// ftp/ftp_fixture.cpp -- the package the FTP tests serve.
#include "ftp_fixture.h"

namespace kelvane::ftp::ftptest {

const std::string& StoredContent() {
  static const std::string content = [] {
    std::string s(100000, '\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 7919) >> 3);
    return s;
  }();
  return content;
}

const std::string& DamagedContent() {
  static const std::string content = [] {
    std::string s;
    for (int i = 0; s.size() < 200000; ++i) s += "damaged line " + std::to_string(i) + "\r\n";
    return s;
  }();
  return content;
}

std::string LongName() { return std::string(254, 'L'); }

test::PackageBuilder FixturePackage() {
  test::PackageBuilder builder(std::string(4096, '\x7F'));
  builder.AddFile(test::kSampleEntryPath, test::SampleEntryContent(), test::kPacked,
                  test::kSampleTimes);
  archive::ArchiveEntryInfo old_times;
  old_times.creation_time = kOctober2008;
  builder.AddFile("version.txt", test::kSampleVersion, test::kPacked, old_times);
  builder.AddFile("password.txt", kPasswordContent, test::kPacked, old_times);
  builder.AddFile("pub\\empty.txt", "", test::kStored, test::kSampleTimes);
  builder.AddFile("pub\\stored.bin", StoredContent(), test::kStored, test::kSampleTimes);
  builder.AddFile("pub\\password.txt", kPubPasswordContent, test::kStored, test::kSampleTimes);

  const size_t damaged = builder.AddFile("bad\\damaged.bin", DamagedContent(), test::kPacked);
  const archive::ArchiveEntryInfo& info = builder.info(damaged);
  builder.data()[info.data_offset + info.stored_size / 2] ^= 0x55;

  const size_t liar = builder.AddFile("bad\\liar.txt", "12345", test::kPacked);
  builder.info(liar).unpacked_size = 10;

  archive::ArchiveEntryInfo short_info;
  short_info.attributes = test::kStored;
  short_info.unpacked_size = 5000000;
  short_info.stored_size = 5000000;
  short_info.data_offset = builder.directory_offset() - 10;
  builder.AddRecord("bad\\short.bin", short_info);

  builder.AddFile("long\\" + LongName(), "x", test::kPacked, old_times);
  return builder;
}

test::PackageBuilder PackageWithABigEntry() {
  test::PackageBuilder builder = FixturePackage();
  std::string big(kBigEntrySize, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 >> 7);
  builder.AddFile("big.bin", big, test::kStored);
  return builder;
}

}  // namespace kelvane::ftp::ftptest
