#include "images.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace testimg
{

std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t &b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

namespace
{

void append_hex(std::string &s, unsigned byte)
{
    static const char digits[] = "0123456789ABCDEF";
    s.push_back(digits[(byte >> 4) & 0xF]);
    s.push_back(digits[byte & 0xF]);
}

std::string record(int type, uint32_t address, int addr_len, const uint8_t *data, size_t n)
{
    unsigned count = static_cast<unsigned>(addr_len + n + 1);
    std::string s;
    s.push_back('S');
    s.push_back(static_cast<char>('0' + type));
    append_hex(s, count);
    unsigned sum = count;
    for (int i = addr_len - 1; i >= 0; --i) {
        unsigned b = (address >> (8 * i)) & 0xFF;
        sum += b;
        append_hex(s, b);
    }
    for (size_t i = 0; i < n; ++i) {
        sum += data[i];
        append_hex(s, data[i]);
    }
    append_hex(s, ~sum & 0xFF);
    s.append("\r\n");
    return s;
}

} // namespace

std::string srec(const std::vector<Region> &regions, size_t per_record, bool s3)
{
    const uint8_t header[] = {'t', 'e', 's', 't'};
    std::string s = record(0, 0, 2, header, sizeof header);
    for (const Region &r : regions) {
        for (size_t off = 0; off < r.data.size(); off += per_record) {
            size_t n = std::min(per_record, r.data.size() - off);
            s += record(s3 ? 3 : 2, static_cast<uint32_t>(r.address + off), s3 ? 4 : 3,
                        r.data.data() + off, n);
        }
    }
    return s + record(s3 ? 7 : 8, 0, s3 ? 4 : 3, nullptr, 0);
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/kestrel-test-XXXXXX";
    if (mkdtemp(tmpl) != nullptr)
        path_ = tmpl;
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

std::string TempDir::write(const std::string &name, const std::string &content) const
{
    std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
}

} // namespace testimg
