// Test images: S-record text built from address/data regions, temporary
// directories, and the flash copy an upgrade is expected to leave.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testimg
{

struct Region {
    uint32_t address;
    std::vector<uint8_t> data;
};

// Deterministic non-0xFF-heavy bytes for a region.
std::vector<uint8_t> pattern(size_t n, uint32_t seed);

// One S-record without a line end: "S", the type character, the byte count,
// the address of addr_len bytes (most significant first), the data and the
// checksum, in upper-case hexadecimal.
std::string record(char type, unsigned addr_len, uint32_t address,
                   const std::vector<uint8_t> &data);

// S-record text: an S0 header, S2 (or S3 when s3) data records of at most
// per_record bytes, an S8 (S7) end record, lines ended by "\r\n".
std::string srec(const std::vector<Region> &regions, size_t per_record = 32, bool s3 = false);

// One Intel HEX record without a line end: ':', byte count, 16-bit offset,
// type, data and checksum, in upper-case hexadecimal.
std::string ihex_record(uint8_t type, uint16_t offset, const std::vector<uint8_t> &data);

// Intel HEX text: data records of at most per_record bytes that never cross a
// 64 KiB boundary, an extended linear address (04) record before the first
// record of every 64 KiB, the end-of-file record; lines ended by "\r\n".
std::string ihex(const std::vector<Region> &regions, size_t per_record = 32);

// A fresh temporary directory, removed with everything in it on destruction.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // Writes a file in the directory and returns its path.
    std::string write(const std::string &name, const std::string &content) const;

  private:
    std::string path_;
};

} // namespace testimg
