// ELF files written with libelf for the loader tests: any class, byte order,
// type and machine, with the segments given, laid out one after another.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <elf.h>

namespace testelf
{

struct Segment {
    uint32_t type;             // PT_LOAD, PT_NOTE, ...
    uint32_t paddr;            // load address
    uint32_t vaddr;            // run-time address
    std::vector<uint8_t> data; // file data (p_filesz bytes)
    uint32_t memsz;            // at least data.size() in a sound file
};

struct Header {
    int elf_class = ELFCLASS32;
    int byte_order = ELFDATA2MSB;
    uint16_t type = ET_EXEC;
    uint16_t machine = 48; // H8S
};

// Writes the file at path; true on success. The program header table follows
// the ELF header, the segments' data follow it in order, a section per segment
// describes the data.
bool write(const std::string &path, const std::vector<Segment> &segments,
           const Header &header = Header{});

} // namespace testelf
