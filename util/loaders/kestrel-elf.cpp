// ELF loader: the file data of every loadable segment of an H8/300, H8/300H or
// H8S executable, placed at the segment's physical (load) address. Headers are
// read through libelf, which also turns them into the host's byte order.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <gelf.h>
#include <libelf.h>

#include "kestrel-loaders.h"
#include "kestrel.h"

namespace
{

// ELF machine numbers of the H8 family.
constexpr unsigned em_h8_300 = 46;
constexpr unsigned em_h8s = 48;

// An ELF descriptor, ended on every way out.
struct elf_handle_t {
    Elf *elf;
    explicit elf_handle_t(Elf *e) : elf(e) {}
    elf_handle_t(const elf_handle_t &) = delete;
    elf_handle_t &operator=(const elf_handle_t &) = delete;
    ~elf_handle_t() { elf_end(elf); }
};

// Prints "Error: FILE: reason" on the line the announcement began; returns -1.
int refuse(const char *file, const char *reason)
{
    printf("Error: %s: %s\n", file, reason);
    return -1;
}

// The number of program headers, or SIZE_MAX when the table is damaged or
// does not fit in the file. libelf counts only the headers that fit; a table
// cut short must not load as a file with fewer segments.
size_t program_header_count(Elf *elf, const Elf32_Ehdr *ehdr, size_t file_size)
{
    size_t phnum = 0;
    if (elf_getphdrnum(elf, &phnum) != 0)
        return SIZE_MAX;
    if (ehdr->e_phnum != PN_XNUM && phnum != ehdr->e_phnum)
        return SIZE_MAX;
    if (phnum > 0 && (ehdr->e_phentsize != sizeof(Elf32_Phdr) ||
                      uint64_t{ehdr->e_phoff} + uint64_t{phnum} * sizeof(Elf32_Phdr) > file_size))
        return SIZE_MAX;
    return phnum;
}

} // namespace

int add_elf_to_map(const char *imagefile)
{
    printf("Parsing %s elf...", image_name(imagefile));
    int fd = open_image_file(imagefile);
    if (fd < 0)
        return -1;
    image_fd_t file(fd);

    if (elf_version(EV_CURRENT) == EV_NONE)
        return refuse(imagefile, "the ELF library cannot be used");
    elf_handle_t handle(elf_begin(fd, ELF_C_READ, nullptr));
    Elf *elf = handle.elf;
    if (elf == nullptr)
        return refuse(imagefile, "the file cannot be read");
    size_t file_size = 0;
    const char *raw = elf_rawfile(elf, &file_size);
    if (raw == nullptr)
        return refuse(imagefile, "the file cannot be read");
    if (elf_kind(elf) != ELF_K_ELF) {
        // libelf does not know a file shorter than its header for an ELF file.
        const bool magic = file_size >= SELFMAG && memcmp(raw, ELFMAG, SELFMAG) == 0;
        return refuse(imagefile, magic ? "ELF header truncated or damaged" : "not an ELF file");
    }
    const char *ident = elf_getident(elf, nullptr);
    if (ident == nullptr || ident[EI_CLASS] != ELFCLASS32)
        return refuse(imagefile, "not a 32-bit ELF file");
    if (ident[EI_DATA] != ELFDATA2MSB)
        return refuse(imagefile, "not a big-endian ELF file");
    const Elf32_Ehdr *ehdr = elf32_getehdr(elf);
    if (ehdr == nullptr)
        return refuse(imagefile, "ELF header truncated or damaged");
    if (ehdr->e_type != ET_EXEC)
        return refuse(imagefile, "not an executable ELF file");
    if (ehdr->e_machine < em_h8_300 || ehdr->e_machine > em_h8s)
        return refuse(imagefile, "not an ELF file for the H8/300, H8/300H or H8S");

    const size_t phnum = program_header_count(elf, ehdr, file_size);
    const Elf32_Phdr *phdr = phnum > 0 && phnum != SIZE_MAX ? elf32_getphdr(elf) : nullptr;
    if (phnum == SIZE_MAX || (phnum > 0 && phdr == nullptr))
        return refuse(imagefile, "program header table truncated or damaged");

    uint64_t total = 0;
    for (size_t i = 0; i < phnum; ++i) {
        const Elf32_Phdr &ph = phdr[i];
        // Segments without file data (a RAM .bss) have nothing to program, and
        // the zero-filled tail beyond p_filesz is the start-up code's job.
        if (ph.p_type != PT_LOAD || ph.p_filesz == 0)
            continue;
        if (uint64_t{ph.p_offset} + ph.p_filesz > file_size)
            return refuse(imagefile, "a loadable segment lies past the end of the file");
        if (ph.p_filesz > ph.p_memsz)
            return refuse(imagefile, "a loadable segment holds more file data than memory");
        if (place_image_data(ph.p_paddr, reinterpret_cast<const uint8_t *>(raw) + ph.p_offset,
                             ph.p_filesz, total) < 0)
            return -1;
    }

    cfg.used += static_cast<uint32_t>(total);
    puts(" ok");
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}
