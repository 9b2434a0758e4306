#include "h8-program.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "images.h"

namespace h8prog
{

bool run(const std::string &command)
{
    return system(command.c_str()) == 0;
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool build(const std::string &dir, uint32_t text_address, uint32_t data_address, size_t table_bytes,
           Program &out, std::string &why)
{
    if (!run("command -v h8300-hms-gcc >/dev/null 2>&1")) {
        why = "h8300-hms-gcc is not installed";
        return false;
    }
    std::string src = "const unsigned char table[] = {";
    for (uint8_t b : testimg::pattern(table_bytes, 0x48))
        src += std::to_string(b) + ",";
    src += "};\nlong counter = 0x12345678;\nint buf[16];\n"
           "int main(void) { for (;;) { counter += table[counter & 1023]; "
           "buf[counter & 15]++; } }\n";
    const std::string c = dir + "/prog.c";
    std::ofstream(c) << src;
    char flags[128];
    snprintf(flags, sizeof flags, "-Wl,-Ttext=0x%" PRIX32 " -Wl,-Tdata=0x%" PRIX32, text_address,
             data_address);
    out.coff = dir + "/prog.coff";
    if (!run("h8300-hms-gcc -ms -O2 -nostdlib -Wl,-e,_main " + std::string(flags) + " -o '" +
             out.coff + "' '" + c + "'")) {
        why = "h8300-hms-gcc failed";
        return false;
    }

    // Sections with contents, from the section table.
    FILE *p = popen(("h8300-hms-objdump -h '" + out.coff + "'").c_str(), "r");
    if (p == nullptr) {
        why = "h8300-hms-objdump cannot run";
        return false;
    }
    char line[256], name[64];
    unsigned idx;
    unsigned long size, vma, lma;
    std::vector<Section> found;
    while (fgets(line, sizeof line, p) != nullptr) {
        if (sscanf(line, "%u %63s %lx %lx %lx", &idx, name, &size, &vma, &lma) == 5) {
            if (fgets(line, sizeof line, p) != nullptr &&
                std::string(line).find("CONTENTS") != std::string::npos)
                found.push_back({name, static_cast<uint32_t>(lma), {}});
        }
    }
    pclose(p);
    for (Section &s : found) {
        const std::string bin = dir + "/" + s.name.substr(1) + ".bin";
        if (!run("h8300-hms-objcopy -O binary -j " + s.name + " '" + out.coff + "' '" + bin +
                 "'")) {
            why = "h8300-hms-objcopy failed";
            return false;
        }
        s.data = read_file(bin);
    }
    std::sort(found.begin(), found.end(),
              [](const Section &a, const Section &b) { return a.address < b.address; });
    out.sections = found;
    if (out.sections.size() < 2) {
        why = "the program has fewer than two sections with contents";
        return false;
    }
    return true;
}

} // namespace h8prog
