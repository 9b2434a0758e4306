#include "elf-image.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

namespace testelf
{

bool write(const std::string &path, const std::vector<Segment> &segments, const Header &header)
{
    if (elf_version(EV_CURRENT) == EV_NONE)
        return false;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    Elf *elf = elf_begin(fd, ELF_C_WRITE, nullptr);
    bool ok = elf != nullptr && gelf_newehdr(elf, header.elf_class) != nullptr &&
              (segments.empty() || gelf_newphdr(elf, segments.size()) != nullptr);
    GElf_Ehdr eh;
    ok = ok && gelf_getehdr(elf, &eh) != nullptr;
    if (ok) {
        eh.e_ident[EI_DATA] = static_cast<unsigned char>(header.byte_order);
        eh.e_type = header.type;
        eh.e_machine = header.machine;
        eh.e_version = EV_CURRENT;
        const uint64_t ehdr_size = gelf_fsize(elf, ELF_T_EHDR, 1, EV_CURRENT);
        eh.e_phoff = segments.empty() ? 0 : ehdr_size;
        uint64_t offset = ehdr_size + gelf_fsize(elf, ELF_T_PHDR, segments.size(), EV_CURRENT);
        for (size_t i = 0; ok && i < segments.size(); ++i) {
            const Segment &s = segments[i];
            GElf_Phdr ph{};
            ph.p_type = s.type;
            ph.p_paddr = s.paddr;
            ph.p_vaddr = s.vaddr;
            ph.p_filesz = s.data.size();
            ph.p_memsz = s.memsz;
            ph.p_flags = PF_R;
            ph.p_align = 1;
            ph.p_offset = offset;
            if (!s.data.empty()) {
                Elf_Scn *scn = elf_newscn(elf);
                Elf_Data *d = scn != nullptr ? elf_newdata(scn) : nullptr;
                GElf_Shdr sh;
                ok = d != nullptr && gelf_getshdr(scn, &sh) != nullptr;
                if (ok) {
                    d->d_buf = const_cast<uint8_t *>(s.data.data());
                    d->d_size = s.data.size();
                    d->d_type = ELF_T_BYTE;
                    d->d_align = 1;
                    d->d_off = 0;
                    sh.sh_type = SHT_PROGBITS;
                    sh.sh_flags = SHF_ALLOC;
                    sh.sh_addr = s.vaddr;
                    sh.sh_offset = offset;
                    sh.sh_size = s.data.size();
                    sh.sh_addralign = 1;
                    ok = gelf_update_shdr(scn, &sh) != 0;
                }
                offset += s.data.size();
            }
            ok = ok && gelf_update_phdr(elf, static_cast<int>(i), &ph) != 0;
        }
        eh.e_shoff = (offset + 7) & ~uint64_t{7};
        ok = ok && gelf_update_ehdr(elf, &eh) != 0;
        elf_flagelf(elf, ELF_C_SET, ELF_F_LAYOUT);
        ok = ok && elf_update(elf, ELF_C_WRITE) >= 0;
    }
    if (elf != nullptr)
        elf_end(elf);
    return close(fd) == 0 && ok;
}

} // namespace testelf
