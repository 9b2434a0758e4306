// The command exchange and the protocol stages against arbitrary device
// replies on the scripted line. Byte 0 of the input picks the mode.
//
// Even: the stage sequence as main runs it, stopping at the first failure.
//   byte 0     bits 1-3: --retries 0 to 7 (line faults recovered)
//   byte 1     the bit rate to switch to, an index into rates[]
//   byte 2     bit 0: verify after programming; bits 1-2: read size 0 (one
//              unit), 2 units, 8 units, or 200 bytes (not a multiple of any
//              unit above 200: refused by the layout inquiry); bit 3: sum
//              check after programming; bit 4: bit rate "auto"
//   byte 3     pages of image data, 0 to 7 (low 3 bits)
//   byte 4     where they start: page byte 4 x pages / 256
//   byte 5     the byte every image page is filled with
//   bytes 6-7  clock frequency in units of 10 kHz, most significant first
//   the rest   everything the device sends
// Checked: each stage returns one of its own results, the layout a successful
// inquiry leaves is one the later stages can rely on, and a successful erasure,
// programming or one-unit verification sent exactly the frames for the marked
// pages, a successful sum check exactly its command (each when no recovery
// happened in it: a recovery sends what the device's answers call for).
//
// Odd: one cmd_readwrite with chosen arguments, the reply buffer allocated to
// exactly cbMaxRead bytes so that the address sanitizer sees any overrun.
//   byte 1     cmd          byte 2   response
//   byte 3     cbReadSize (modulo 5)
//   bytes 4-5  cbMaxRead - 1 (modulo 600)
//   bytes 6-7  cbRead (modulo 600)
//   byte 8     bit 0: no reply buffer; bits 1-2: cbWriteSize (0 to 2, 3 as 0)
//   byte 9     cbWrite, taken from the bytes that follow
//   the rest   everything the device sends
// Checked against a plain reading of the reply: the result, the bytes
// consumed from the line, the frame sent and the data handed back.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "error.h"
#include "fake-serial.h"
#include "kestrel-proto.h"
#include "kestrel-recover.h"
#include "kestrel-stages.h"
#include "kestrel-sumcheck.h"
#include "kestrel.h"
#include "serial-linux.h"

namespace
{

using Bytes = std::vector<uint8_t>;

// Supported rates, one the port refuses, and text that is not a number.
const char *const rates[] = {"9600", "115200", "19200", "57600",  "38400",
                             "4800", "230400", "2400",  "460800", "fast"};
constexpr size_t rate_count = sizeof rates / sizeof rates[0];

constexpr size_t stage_header = 8;
constexpr size_t exchange_header = 10;
constexpr uint32_t max_flash = 16u * 1024 * 1024;

bool in(int v, std::initializer_list<int> allowed)
{
    return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
}

void free_flash()
{
    free(cfg.mem);
    free(cfg.flags);
    cfg.mem = nullptr;
    cfg.flags = nullptr;
}

// Marks count pages from the chosen start and fills them, as a loaded image would.
void load_image(uint8_t count, uint8_t where, uint8_t fill)
{
    const uint32_t pages = page_count();
    const uint32_t first = static_cast<uint32_t>(uint64_t{where} * pages / 256);
    cfg.used = 0;
    for (uint32_t p = first; p < first + count && p < pages; ++p) {
        mark_page(p);
        memset(cfg.mem + uint64_t{p} * cfg.unit, fill, cfg.unit);
        cfg.used += cfg.unit;
    }
}

// A frame as the exchange sends it: command, size byte if asked for, data and
// checksum; a command without data is its code alone.
Bytes frame(uint8_t command, const Bytes &data, bool size_byte)
{
    Bytes f{command};
    if (data.empty())
        return f;
    if (size_byte)
        f.push_back(static_cast<uint8_t>(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : f)
        sum = static_cast<uint8_t>(sum + b);
    f.push_back(static_cast<uint8_t>(-sum));
    return f;
}

Bytes be32(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

void append(Bytes &to, const Bytes &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

const Bytes status_inquiry{0x4F};

// What a successful erasure sends: the selection, one frame for every block
// that holds a marked page, the end frame and the status inquiry.
Bytes erase_frames()
{
    Bytes want{0x48};
    const uint64_t map_pages = (uint64_t{cfg.size} + cfg.unit - 1) / cfg.unit;
    uint64_t first = 0;
    for (unsigned i = 0; i < cfg.blocks; ++i) {
        const uint64_t last = first + cfg.block_sizes[i];
        // The pages that share an address with the block, within the map.
        bool marked = false;
        for (uint64_t p = first / cfg.unit; p <= last / cfg.unit && p < map_pages; ++p)
            marked = marked || test_page(static_cast<uint32_t>(p));
        if (marked)
            append(want, frame(0x58, {static_cast<uint8_t>(i)}, true));
        first = last + 1;
    }
    append(want, frame(0x58, {0xFF}, true));
    append(want, status_inquiry);
    return want;
}

// What a successful programming sends: the selection, every marked whole page
// in ascending order with its address, the end frame and the status inquiry.
Bytes program_frames()
{
    Bytes want{0x43};
    for (uint32_t p = 0; p < cfg.size / cfg.unit; ++p) {
        if (!test_page(p))
            continue;
        // Sized up front: g++ 12 at -O2 misreads an insert after the address as out of bounds.
        Bytes data(4 + size_t{cfg.unit});
        const Bytes address = be32(p * cfg.unit);
        std::copy(address.begin(), address.end(), data.begin());
        std::copy(cfg.mem + p * cfg.unit, cfg.mem + (p + 1) * cfg.unit, data.begin() + 4);
        append(want, frame(0x50, data, false));
    }
    append(want, frame(0x50, {0xFF, 0xFF, 0xFF, 0xFF}, false));
    append(want, status_inquiry);
    return want;
}

// What a successful verification sends: a memory read of every marked page.
Bytes verify_frames()
{
    Bytes want;
    for (uint32_t p = 0; p < cfg.size / cfg.unit; ++p) {
        if (!test_page(p))
            continue;
        Bytes data{0x01};
        append(data, be32(p * cfg.unit));
        append(data, be32(cfg.unit));
        append(want, frame(0x52, data, true));
    }
    append(want, status_inquiry);
    return want;
}

// The bytes written since mark.
Bytes written_since(size_t mark)
{
    const std::vector<uint8_t> &w = fakeserial::written();
    return Bytes(w.begin() + static_cast<std::ptrdiff_t>(mark), w.end());
}

void run_stages(const uint8_t *data, size_t size)
{
    memset(&cfg, 0, sizeof cfg);
    cfg.img_last = &cfg.img_first;
    snprintf(cfg.device, sizeof cfg.device, "%s", "/dev/fake");
    snprintf(cfg.baudrate, sizeof cfg.baudrate, "%s", rates[data[1] % rate_count]);
    cfg.verify = data[2] & 1;
    cfg.retries = (data[0] >> 1) & 7;
    reset_recovery();
    set_exchange_messages(true);
    set_reply_byte_timeout(0);
    // The frames a stage sent are checked only when it recovered nothing.
    int recovered = 0;
    auto clean = [&recovered] {
        const bool none = recovery_count() == recovered;
        recovered = recovery_count();
        return none;
    };
    const uint32_t read_units[] = {0, 2, 8, 0};
    if (data[2] & 0x10)
        snprintf(cfg.baudrate, sizeof cfg.baudrate, "%s", "auto");
    cfg.freq = static_cast<uint32_t>(data[6] << 8 | data[7]) * 10000u;
    fakeserial::feed(data + stage_header, size - stage_header);

    [&] {
        if (adjust_baud_rate(cfg.device) < 0)
            return;
        // Known only now: the read size in bytes.
        const uint32_t read_size_bits = (data[2] >> 1) & 3;
        cfg.read_size = read_size_bits == 3 ? 200 : 0;
        const int info = get_info();
        ASSERT(in(info, {0, -1, -4}));
        if (info < 0)
            return;
        // What the later stages and the loaders rely on.
        ASSERT(cfg.unit != 0 && cfg.size != 0 && cfg.size % cfg.unit == 0);
        ASSERT(cfg.size <= max_flash && cfg.blocks <= 32);
        ASSERT(cfg.mem != nullptr && cfg.flags != nullptr);
        ASSERT(cfg.read_size % cfg.unit == 0);
        if (read_size_bits == 1 || read_size_bits == 2) {
            const uint32_t want = cfg.unit * read_units[read_size_bits];
            cfg.read_size = want <= 65536 ? want : 0;
        }

        const int prep = prepare();
        ASSERT(in(prep, {0, -1, -2, -3, -4, -5, -6}));
        if (prep < 0)
            return;
        const int state = enter_erase_program_state();
        ASSERT(in(state, {0, -1, -2}));
        if (state < 0)
            return;
        load_image(data[3] & 7, data[4], data[5]);
        clean();
        size_t mark = fakeserial::written().size();
        const int erase = erase_flash();
        ASSERT(in(erase, {0, -1, -3, -4, -5}));
        if (erase < 0)
            return;
        ASSERT(!clean() || written_since(mark) == erase_frames());
        mark = fakeserial::written().size();
        const int program = program_flash();
        ASSERT(in(program, {0, -1, -2, -3}));
        if (program < 0)
            return;
        ASSERT(!clean() || written_since(mark) == program_frames());
        if (cfg.verify != 0) {
            mark = fakeserial::written().size();
            const int verify = verify_flash();
            ASSERT(in(verify, {0, -1, -2, -3}));
            if (verify < 0)
                return;
            if (cfg.read_size == 0)
                ASSERT(!clean() || written_since(mark) == verify_frames());
        }
        if (data[2] & 0x08) {
            mark = fakeserial::written().size();
            const int sum = sum_check();
            ASSERT(in(sum, {0, -1, -2}));
            ASSERT(!clean() || written_since(mark) == Bytes{0x4B});
        }
    }();
    serial_close();
    free_flash();
}

struct outcome {
    int result;
    size_t consumed;
};

// What one exchange must make of the reply dev: its result and how many bytes
// it takes from the line.
outcome expected_exchange(const Bytes &dev, bool with_data, uint8_t cbWriteSize, uint8_t response,
                          int cap, int cbRead, uint8_t cbReadSize)
{
    if (with_data && cbWriteSize > 1)
        return {-1, 0};
    if (dev.empty())
        return {-2, 0};
    if (dev[0] != response)
        return {-2, std::min<size_t>(2, dev.size())};
    uint64_t n = static_cast<uint64_t>(cbRead);
    if (cbReadSize != 0) {
        if (1 + cbReadSize > cap)
            return {-3, 1};
        if (dev.size() < 1u + cbReadSize)
            return {-2, dev.size()};
        n = 0;
        for (int i = 0; i < cbReadSize; ++i)
            n = n << 8 | dev[1 + i];
    }
    const size_t head = 1u + cbReadSize;
    if (n == 0)
        return {0, head};
    const uint64_t total = head + n + 1;
    if (total > static_cast<uint64_t>(cap))
        return {-3, head};
    if (dev.size() < total)
        return {-4, dev.size()};
    uint8_t sum = 0;
    for (size_t i = 0; i < total; ++i)
        sum = static_cast<uint8_t>(sum + dev[i]);
    if (sum != 0)
        return {-5, static_cast<size_t>(total)};
    return {static_cast<int>(n), static_cast<size_t>(total)};
}

void run_exchange(const uint8_t *data, size_t size)
{
    const uint8_t command = data[1];
    const uint8_t response = data[2];
    const auto cbReadSize = static_cast<uint8_t>(data[3] % 5);
    const int cbMaxRead = 1 + (data[4] << 8 | data[5]) % 600;
    const int cbRead = (data[6] << 8 | data[7]) % 600;
    const bool no_buffer = (data[8] & 1) != 0;
    auto cbWriteSize = static_cast<uint8_t>((data[8] >> 1) & 3);
    if (cbWriteSize == 3)
        cbWriteSize = 0;
    const size_t rest = size - exchange_header;
    const int cbWrite = std::min<int>(data[9], static_cast<int>(rest));
    const Bytes payload(data + exchange_header, data + exchange_header + cbWrite);
    const Bytes dev(data + exchange_header + cbWrite, data + size);

    serial_open("/dev/fake");
    fakeserial::feed(dev.data(), dev.size());
    uint8_t *buf = no_buffer ? nullptr : static_cast<uint8_t *>(malloc(cbMaxRead));
    const int result = cmd_readwrite(command, cbWrite != 0 ? payload.data() : nullptr, cbWrite,
                                     cbWriteSize, response, buf, cbMaxRead, cbRead, cbReadSize);

    const bool with_data = cbWrite != 0;
    const outcome want = expected_exchange(dev, with_data, cbWriteSize, response,
                                           no_buffer ? 2 : cbMaxRead, cbRead, cbReadSize);
    ASSERT(result == want.result);
    ASSERT(dev.size() - fakeserial::pending() == want.consumed);

    // The frame: the command alone, or with size byte, data and checksum.
    Bytes frame{command};
    if (with_data) {
        if (cbWriteSize == 1)
            frame.push_back(static_cast<uint8_t>(cbWrite));
        frame.insert(frame.end(), payload.begin(), payload.end());
        uint8_t sum = 0;
        for (uint8_t b : frame)
            sum = static_cast<uint8_t>(sum + b);
        frame.push_back(static_cast<uint8_t>(-sum));
    }
    if (want.result == -1 && with_data && cbWriteSize > 1)
        ASSERT(fakeserial::written().empty());
    else
        ASSERT(fakeserial::written() == frame);

    if (result > 0) {
        ASSERT(buf != nullptr);
        ASSERT(memcmp(buf, dev.data() + 1 + cbReadSize, static_cast<size_t>(result)) == 0);
    }
    free(buf);
    serial_close();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Every stage reports on standard output.
    ASSERT(freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    fakeserial::reset();
    local_errno = ERR_SUCCESS;
    if ((data[0] & 1) == 0 && size >= stage_header)
        run_stages(data, size);
    else if ((data[0] & 1) != 0 && size >= exchange_header)
        run_exchange(data, size);
    return 0;
}
