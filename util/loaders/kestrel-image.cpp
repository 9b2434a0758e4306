// read_image_files: hands each listed image to the loader of its format.
#include "kestrel-loaders.h"
#include "kestrel.h"

int read_image_files()
{
    for (const img_file *img = cfg.img_first; img != nullptr; img = img->next) {
        int ret = -1;
        switch (img->format) {
        case IMAGE_BIN:
            ret = add_bin_to_map(img->offset, img->name);
            break;
        case IMAGE_SREC:
            ret = add_srec_to_map(img->name);
            break;
        case IMAGE_IHEX:
            ret = add_ihex_to_map(img->name);
            break;
        case IMAGE_ELF:
            ret = add_elf_to_map(img->name);
            break;
        }
        if (ret < 0)
            return -1;
    }
    return 0;
}
