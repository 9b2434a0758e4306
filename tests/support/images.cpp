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

} // namespace

std::string record(char type, unsigned addr_len, uint32_t address, const std::vector<uint8_t> &data)
{
    unsigned count = static_cast<unsigned>(addr_len + data.size() + 1);
    std::string s{'S', type};
    append_hex(s, count);
    unsigned sum = count;
    for (unsigned i = addr_len; i-- > 0;) {
        unsigned b = (address >> (8 * i)) & 0xFF;
        sum += b;
        append_hex(s, b);
    }
    for (uint8_t b : data) {
        sum += b;
        append_hex(s, b);
    }
    append_hex(s, ~sum & 0xFF);
    return s;
}

std::string srec(const std::vector<Region> &regions, size_t per_record, bool s3)
{
    std::string s = record('0', 2, 0, {'t', 'e', 's', 't'});
    s += "\r\n";
    for (const Region &r : regions) {
        for (size_t off = 0; off < r.data.size(); off += per_record) {
            size_t n = std::min(per_record, r.data.size() - off);
            const std::vector<uint8_t> part(r.data.begin() + off, r.data.begin() + off + n);
            s += record(s3 ? '3' : '2', s3 ? 4 : 3, static_cast<uint32_t>(r.address + off), part);
            s += "\r\n";
        }
    }
    s += record(s3 ? '7' : '8', s3 ? 4 : 3, 0, {});
    s += "\r\n";
    return s;
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
