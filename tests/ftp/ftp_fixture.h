// ftp/ftp_fixture.h -- the package the FTP tests serve, shared by the unit tests and the test
// server of the integration test.
//
//   pub\Dorvex\Updates\Image       the sample firmware image (1,206,620 bytes, compressed, 2019)
//   version.txt                    "3.34\r\n", compressed, created 1 October 2008 16:41 UTC
//   password.txt                   the package password, which the service treats as absent
//   pub\empty.txt                  an empty stored entry
//   pub\stored.bin                 100,000 bytes stored without compression
//   pub\password.txt               an ordinary file (only the root's is the password)
//   bad\damaged.bin                a compressed entry with one byte of its stream changed
//   bad\liar.txt                   inflates to 5 bytes but its record says 10
//   bad\short.bin                  stored, its record claims bytes beyond the end of the file
//   long\LLL...                    a name of 254 characters (259 with its folder)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/fixture_package.h"

namespace kelvane::ftp::ftptest {

inline constexpr uint64_t kOctober2008 = 128673528600000000ull;  // 2008-10-01 16:41 UTC

inline constexpr char kPasswordContent[] = "hidden\r\n";
inline constexpr char kPubPasswordContent[] = "not the password\r\n";

const std::string& StoredContent();
const std::string& DamagedContent();
std::string LongName();
test::PackageBuilder FixturePackage();

// The fixture package and big.bin at its root: a stored entry of kBigEntrySize bytes, large
// enough that no socket buffers hold it whole.
inline constexpr size_t kBigEntrySize = 48u << 20;
test::PackageBuilder PackageWithABigEntry();

}  // namespace kelvane::ftp::ftptest
