#include "images.h"

#include <algorithm>
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

std::string ihex_record(uint8_t type, uint16_t offset, const std::vector<uint8_t> &data)
{
    std::string s = ":";
    unsigned sum = static_cast<unsigned>(data.size()) + (offset >> 8) + (offset & 0xFF) + type;
    append_hex(s, static_cast<unsigned>(data.size()));
    append_hex(s, offset >> 8);
    append_hex(s, offset & 0xFF);
    append_hex(s, type);
    for (uint8_t b : data) {
        sum += b;
        append_hex(s, b);
    }
    append_hex(s, -sum & 0xFF);
    return s;
}

std::string ihex(const std::vector<Region> &regions, size_t per_record)
{
    std::string s;
    long upper = -1;
    for (const Region &r : regions) {
        for (size_t off = 0; off < r.data.size();) {
            const uint32_t a = static_cast<uint32_t>(r.address + off);
            const size_t n =
                std::min({per_record, r.data.size() - off, size_t{0x10000} - (a & 0xFFFF)});
            if (static_cast<long>(a >> 16) != upper) {
                upper = a >> 16;
                s += ihex_record(4, 0,
                                 {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
                s += "\r\n";
            }
            s += ihex_record(0, static_cast<uint16_t>(a),
                             {r.data.begin() + static_cast<long>(off),
                              r.data.begin() + static_cast<long>(off + n)});
            s += "\r\n";
            off += n;
        }
    }
    return s + ihex_record(1, 0, {}) + "\r\n";
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
