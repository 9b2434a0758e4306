// The simulated boot program: state machine, flash model and fault injection.
#include "boot-program.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace bootsim
{

namespace
{

constexpr uint32_t kMaxFlash = 64u << 20;
constexpr uint32_t kSyncRate = 9600;

// Command codes.
constexpr uint8_t kSyncZero = 0x00, kSyncCheck = 0x55;
constexpr uint8_t kSyncZeroAnswer = 0x00, kSyncAnswer = 0xE6, kSyncFail = 0xFF;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kSelectDevice = 0x10, kSelectClock = 0x11;
constexpr uint8_t kDevices = 0x20, kClockModes = 0x21, kRatios = 0x22, kFrequencies = 0x23;
constexpr uint8_t kMatInfo = 0x25, kBlockInfo = 0x26, kUnitInfo = 0x27;
constexpr uint8_t kNewRate = 0x3F, kEnterProgErase = 0x40, kProgramSelect = 0x43;
constexpr uint8_t kStatus = 0x4F, kEraseSelect = 0x48, kProgram = 0x50, kRead = 0x52;
constexpr uint8_t kErase = 0x58, kSumCheck = 0x4B, kSumAnswer = 0x5B;
constexpr uint8_t kEndOfErasure = 0xFF;

// Commands whose frame carries a size byte: code, size, data, checksum.
bool has_size_byte(uint8_t cmd)
{
    return cmd == kSelectDevice || cmd == kSelectClock || cmd == kNewRate || cmd == kErase ||
           cmd == kRead;
}

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint16_t be16(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

void put32(std::vector<uint8_t> &v, uint32_t x)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        v.push_back(uint8_t(x >> shift));
}

void put16(std::vector<uint8_t> &v, uint16_t x)
{
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}

struct SpeedRow {
    speed_t speed;
    uint32_t rate;
};

constexpr SpeedRow kSpeeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},       {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},         {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},       {B19200, 19200},   {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400},   {B460800, 460800}, {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
};

// Default layout: 8 x 4 KiB, 1 x 32 KiB, 7 x 64 KiB.
std::vector<Area> default_blocks()
{
    std::vector<Area> v;
    uint32_t at = 0;
    auto add = [&](int count, uint32_t size) {
        for (int i = 0; i < count; i++, at += size)
            v.push_back({at, at + size - 1});
    };
    add(8, 4096);
    add(1, 32768);
    add(7, 65536);
    return v;
}

} // namespace

uint32_t rate_of_speed(speed_t speed)
{
    for (const auto &row : kSpeeds)
        if (row.speed == speed)
            return row.rate;
    return 0;
}

bool speed_of_rate(uint32_t rate, speed_t *speed)
{
    for (const auto &row : kSpeeds)
        if (row.rate == rate) {
            *speed = row.speed;
            return true;
        }
    return false;
}

LineSettings line_settings(const termios &t)
{
    LineSettings l;
    speed_t out = cfgetospeed(&t), in = cfgetispeed(&t);
    if (in == out || in == B0)
        l.rate = rate_of_speed(out);
    bool raw = !(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_oflag & OPOST) &&
               !(t.c_iflag & (ISTRIP | INLCR | IGNCR | ICRNL));
    bool frame8n1 = (t.c_cflag & CSIZE) == CS8 && !(t.c_cflag & (PARENB | CSTOPB));
    bool no_flow = !(t.c_cflag & CRTSCTS) && !(t.c_iflag & (IXON | IXOFF));
    l.raw8n1 = raw && frame8n1 && no_flow;
    return l;
}

uint8_t byte_sum(const uint8_t *p, size_t n)
{
    uint8_t s = 0;
    for (size_t i = 0; i < n; i++)
        s = uint8_t(s + p[i]);
    return s;
}

std::vector<Area> erase_blocks_of(const Device &dev)
{
    return dev.erase_blocks.empty() ? default_blocks() : dev.erase_blocks;
}

uint32_t flash_size_of(const Device &dev)
{
    if (dev.user_mat.empty())
        return 0;
    uint64_t size = uint64_t(dev.user_mat.back().end) + 1;
    return uint32_t(std::min<uint64_t>(size, kMaxFlash));
}

BootProgram::BootProgram(const Device &dev, std::function<LineSettings()> line)
    : dev_(dev), blocks_(erase_blocks_of(dev)), line_(std::move(line))
{
    uint32_t size = flash_size_of(dev);
    flash_.assign(size, 0xFF);
    dirty_.assign(size, dev.erased_fill ? 0 : 1);
    if (!dev.erased_fill) {
        // xorshift32: cheap, repeatable, and never 0xFF after the modulo.
        uint32_t x = dev.seed ? dev.seed : 0x9E3779B9u;
        for (auto &b : flash_) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = uint8_t(x % 255);
        }
    }
    if (!dev.content.empty()) {
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        std::copy_n(dev.content.begin(), std::min(dev.content.size(), flash_.size()),
                    flash_.begin());
        for (size_t a = 0; a < flash_.size(); ++a)
            dirty_[a] = flash_[a] != 0xFF;
    }
    initial_ = flash_;
}

size_t BootProgram::frame_length(const uint8_t *p, size_t avail) const
{
    if (avail == 0)
        return 0;
    if (state_ == State::Sync)
        return 1;
    if (has_size_byte(p[0]))
        return avail < 2 ? 0 : size_t(p[1]) + 3;
    if (p[0] == kProgram) {
        if (avail < 5)
            return 0;
        return be32(p + 1) == 0xFFFFFFFFu ? 6 : size_t(dev_.unit) + 6;
    }
    return 1;
}

const FaultSpec *BootProgram::match_fault(uint8_t cmd)
{
    int n = ++seen_[cmd];
    for (const auto &f : faults_)
        if (f.command == cmd && (f.occurrence == 0 || f.occurrence == n))
            return &f;
    return nullptr;
}

BootProgram::Outcome BootProgram::handle(const uint8_t *p, size_t n, bool corrupted)
{
    Outcome out;
    corrupted_ = corrupted;
    reply_.clear();
    reply_width_ = 0;
    if (n == 0 || state_ == State::Dead)
        return out;
    const FaultSpec *f = match_fault(p[0]);
    if (state_ == State::Sync) {
        sync_byte(p[0], f, out);
        return out;
    }
    if (f && f->kind == Fault::LoseByte && n > 1) {
        out.lost_last = true; // the framing puts the rest back and waits for one more byte
        return out;
    }
    // Waiting for the confirmation at the new rate: bytes at another rate
    // are noise to the receiver.
    if (state_ == State::RateAcked && line_().rate != rate_)
        return out;
    frames_.emplace_back(p, p + n);
    if (f && f->kind == Fault::Silence)
        return out;
    if (f && f->kind == Fault::HangUp) {
        out.hang_up = true;
        state_ = State::Dead;
        return out;
    }
    if (f && f->kind == Fault::Refuse) {
        refuse(p[0], f->value);
        return out;
    }
    dispatch(p, n, f, out);
    if (f)
        corrupt(*f);
    if (f && f->kind == Fault::Late)
        out.held_seconds = f->value * 0.1;
    return out;
}

void BootProgram::sync_byte(uint8_t b, const FaultSpec *f, Outcome &out)
{
    if (f && f->kind == Fault::Silence)
        return;
    if (f && f->kind == Fault::HangUp) {
        out.hang_up = true;
        state_ = State::Dead;
        return;
    }
    if (f && f->kind == Fault::Refuse) {
        got_zero_ = false;
        refuse(b, f->value);
        return;
    }
    // The boot program measures the bit rate from the bytes it sees: a line
    // that is not at 9600 baud, raw 8N1, gets no answer.
    LineSettings line = line_();
    if (line.rate != kSyncRate || !line.raw8n1)
        return;
    bool advance = false;
    if (b == kSyncZero) {
        reply_.push_back(kSyncZeroAnswer);
        got_zero_ = true;
    } else if (b == kSyncCheck) {
        reply_.push_back(got_zero_ ? kSyncAnswer : kSyncFail);
        advance = got_zero_;
    } else {
        got_zero_ = false;
        return;
    }
    if (f) {
        corrupt(*f);
        advance = false;
    }
    if (advance) {
        state_ = State::Inquiry;
        synchronised_ = true;
        last_error_ = 0;
    }
}

bool BootProgram::inquiry_state() const
{
    return state_ == State::Inquiry || state_ == State::DeviceSelected ||
           state_ == State::ClockSelected;
}

void BootProgram::dispatch(const uint8_t *p, size_t n, const FaultSpec *f, Outcome &out)
{
    const uint8_t cmd = p[0];
    // Frames with a checksum must sum to 0.
    if ((has_size_byte(cmd) || cmd == kProgram) && byte_sum(p, n) != 0) {
        refuse(cmd, kErrChecksum);
        return;
    }
    auto fixed_size = [&](uint8_t size) {
        if (p[1] == size)
            return true;
        refuse(cmd, kErrLength);
        return false;
    };
    auto in_state = [&](bool ok) {
        if (!ok)
            refuse_command(cmd);
        return ok;
    };
    switch (cmd) {
    case kStatus:
        status(f);
        return;
    case kMatInfo:
        if (in_state(inquiry_state()))
            mat_info();
        break;
    case kBlockInfo:
        if (in_state(inquiry_state()))
            block_info();
        break;
    case kUnitInfo:
        if (in_state(inquiry_state())) {
            std::vector<uint8_t> d;
            put16(d, dev_.unit);
            data_reply(0x37, 1, d);
        }
        break;
    case kDevices:
        if (in_state(inquiry_state()))
            devices();
        break;
    case kClockModes:
        if (in_state(inquiry_state())) {
            // push_back rather than insert: g++ 12 at -O3 reports a false
            // array-bounds error for the insert after a one-byte vector.
            std::vector<uint8_t> d{uint8_t(dev_.clock_modes.size())};
            for (uint8_t m : dev_.clock_modes)
                d.push_back(m);
            data_reply(0x31, 1, d);
        }
        break;
    case kRatios:
        // One clock type with one multiplication ratio.
        if (in_state(inquiry_state()))
            data_reply(0x32, 1, {1, 1, dev_.ratio});
        break;
    case kFrequencies:
        if (in_state(inquiry_state())) {
            std::vector<uint8_t> d{uint8_t(dev_.freq_ranges.size())};
            for (auto [lo, hi] : dev_.freq_ranges) {
                put16(d, lo);
                put16(d, hi);
            }
            data_reply(0x33, 1, d);
        }
        break;
    case kSelectDevice:
        if (in_state(state_ == State::Inquiry) && fixed_size(4))
            select_device(p, n);
        break;
    case kSelectClock:
        if (in_state(state_ == State::DeviceSelected) && fixed_size(1))
            select_clock(p);
        break;
    case kNewRate:
        if (in_state(state_ == State::ClockSelected) && fixed_size(6))
            new_rate(p);
        break;
    case kAck:
        if (in_state(state_ == State::RateAcked))
            confirm_rate();
        break;
    case kEnterProgErase:
        if (in_state(state_ == State::Switched))
            enter_prog_erase();
        break;
    case kSumCheck:
        if (in_state(state_ == State::Select))
            sum_check();
        break;
    case kEraseSelect:
        if (in_state(state_ == State::Select)) {
            state_ = State::Erasing;
            ack();
        }
        break;
    case kErase:
        if (in_state(state_ == State::Erasing) && fixed_size(1))
            erase(p, out);
        break;
    case kProgramSelect:
        if (in_state(state_ == State::Select)) {
            state_ = State::Programming;
            ack();
        }
        break;
    case kProgram:
        if (in_state(state_ == State::Programming))
            program(p, n, f, out);
        break;
    case kRead:
        if (in_state(state_ == State::Select) && fixed_size(9))
            read(p, f);
        break;
    default:
        refuse_command(cmd);
        break;
    }
}

void BootProgram::corrupt(const FaultSpec &f)
{
    if (reply_.empty())
        return;
    switch (f.kind) {
    case Fault::BadChecksum:
        if (reply_.size() == 1)
            reply_[0] = uint8_t(~reply_[0]);
        else
            reply_.back() = uint8_t(reply_.back() + 1);
        break;
    case Fault::Truncate:
        reply_.resize(std::min(reply_.size(), f.value ? size_t(f.value) : reply_.size() / 2));
        break;
    case Fault::WrongSize:
        if (reply_width_ > 0 && reply_.size() > size_t(reply_width_) + 1) {
            for (int i = reply_width_; i >= 1; i--)
                if (++reply_[size_t(i)] != 0)
                    break;
            reply_.back() = 0;
            reply_.back() = uint8_t(-byte_sum(reply_.data(), reply_.size()));
        }
        break;
    case Fault::OversizeSize:
        if (reply_width_ > 0) {
            reply_.resize(size_t(reply_width_) + 1);
            std::fill(reply_.begin() + 1, reply_.end(), 0xFF);
        }
        break;
    case Fault::Garble:
        reply_[0] = f.value;
        break;
    case Fault::ProgramWrong:
        reply_.clear();
        break;
    default:
        break;
    }
}

void BootProgram::ack()
{
    reply_.assign(1, kAck);
    last_error_ = 0;
}

void BootProgram::refuse(uint8_t cmd, uint8_t err)
{
    reply_ = {uint8_t(0x80 | cmd), err};
    reply_width_ = 0;
    last_error_ = err;
}

void BootProgram::refuse_command(uint8_t cmd)
{
    reply_ = {kErrCommand, cmd};
    reply_width_ = 0;
    last_error_ = cmd;
}

void BootProgram::data_reply(uint8_t code, int width, const std::vector<uint8_t> &data)
{
    reply_.clear();
    reply_.push_back(code);
    // The size field holds the low bits of the length: a nonsense layout is
    // reported as it stands.
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        reply_.push_back(uint8_t(data.size() >> shift));
    reply_.insert(reply_.end(), data.begin(), data.end());
    if (!data.empty())
        reply_.push_back(uint8_t(-byte_sum(reply_.data(), reply_.size())));
    reply_width_ = width;
    last_error_ = 0;
}

void BootProgram::status(const FaultSpec *f)
{
    uint8_t st = 0;
    switch (state_) {
    case State::Inquiry:
        st = 0x11;
        break;
    case State::DeviceSelected:
        st = 0x12;
        break;
    case State::ClockSelected:
    case State::RateAcked:
        st = 0x13;
        break;
    case State::Switched:
        st = 0x1F;
        break;
    case State::Select:
        st = 0x3F;
        break;
    case State::Erasing:
        st = 0x5F;
        break;
    case State::Programming:
        st = 0x4F;
        break;
    default:
        break;
    }
    if (f && f->kind == Fault::Status)
        st = f->value;
    // The error byte reports the command before this inquiry.
    uint8_t err = last_error_;
    data_reply(0x5F, 1, {st, err});
}

void BootProgram::mat_info()
{
    std::vector<uint8_t> d{uint8_t(dev_.user_mat.size())};
    for (const auto &a : dev_.user_mat) {
        put32(d, a.start);
        put32(d, a.end);
    }
    data_reply(0x35, 1, d);
}

void BootProgram::block_info()
{
    std::vector<uint8_t> d{uint8_t(blocks_.size())};
    for (const auto &b : blocks_) {
        put32(d, b.start);
        put32(d, b.end);
    }
    data_reply(0x36, 2, d);
}

namespace
{

std::string device_code(const std::string &code, int i)
{
    std::string c = code;
    if (i > 0 && !c.empty())
        c.back() = char('a' + (i - 1) % 26);
    return c;
}

} // namespace

void BootProgram::devices()
{
    std::vector<uint8_t> d{uint8_t(dev_.devices)};
    for (int i = 0; i < dev_.devices; i++) {
        std::string code = device_code(dev_.code, i);
        d.push_back(uint8_t(code.size() + dev_.name.size()));
        d.insert(d.end(), code.begin(), code.end());
        d.insert(d.end(), dev_.name.begin(), dev_.name.end());
    }
    data_reply(0x30, 1, d);
}

void BootProgram::select_device(const uint8_t *p, size_t)
{
    for (int i = 0; i < std::max(dev_.devices, 1); i++) {
        std::string code = device_code(dev_.code, i);
        if (code.size() == 4 && std::memcmp(code.data(), p + 2, 4) == 0) {
            state_ = State::DeviceSelected;
            ack();
            return;
        }
    }
    refuse(p[0], kErrDevice);
}

void BootProgram::select_clock(const uint8_t *p)
{
    const auto &modes = dev_.clock_modes;
    if (std::find(modes.begin(), modes.end(), p[2]) == modes.end()) {
        refuse(p[0], kErrClockMode);
        return;
    }
    state_ = State::ClockSelected;
    ack();
}

namespace
{

// Whether the serial interface can make rate from clock within 2 %: bit-rate
// register N = clock / (64 x 2^(2n-1) x rate) - 1 (rounded) for one of the
// clock dividers n = 0..3, N from 0 to 255.
bool sci_can_make(uint64_t clock, uint32_t rate)
{
    for (uint64_t div = 32; div <= 32 * 64; div *= 4) {
        const uint64_t per = div * rate;
        uint64_t n1 = (clock + per / 2) / per; // N + 1
        if (n1 < 1 || n1 > 256)
            continue;
        const uint64_t made = per * n1; // clock the rate would need
        const uint64_t diff = made > clock ? made - clock : clock - made;
        if (diff * 50 <= made)
            return true;
    }
    return false;
}

} // namespace

void BootProgram::new_rate(const uint8_t *p)
{
    uint32_t rate = uint32_t(be16(p + 2)) * 100;
    uint16_t freq = be16(p + 4);
    speed_t speed;
    if (rate == 0 || !speed_of_rate(rate, &speed)) {
        refuse(p[0], kErrBitRate);
        return;
    }
    if (p[6] != 1 || p[7] != dev_.ratio) {
        refuse(p[0], kErrRatio);
        return;
    }
    if (dev_.strict_freq) {
        bool inside = false;
        for (auto [lo, hi] : dev_.freq_ranges)
            inside = inside || (freq >= lo && freq <= hi);
        if (!inside) {
            refuse(p[0], kErrFrequency);
            return;
        }
    }
    if (dev_.check_rate && !sci_can_make(uint64_t(freq) * 10000 * p[7], rate)) {
        refuse(p[0], kErrBitRate);
        return;
    }
    // Acknowledged at the old rate; from here on the boot program listens at
    // the new one.
    ack();
    rate_ = rate;
    state_ = State::RateAcked;
}

void BootProgram::confirm_rate()
{
    // The confirmation only gets through when the client's line really is at
    // the new rate and framed as the boot program expects; otherwise the boot
    // program sees noise and stays silent.
    LineSettings line = line_();
    if (line.rate != rate_ || !line.raw8n1)
        return;
    state_ = State::Switched;
    ack();
}

void BootProgram::enter_prog_erase()
{
    // The chip erases the whole user MAT before it answers.
    if (!dev_.keep_content) {
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        std::fill(dirty_.begin(), dirty_.end(), 0);
        line_programmed_.clear();
    }
    state_ = State::Select;
    ack();
}

void BootProgram::sum_check()
{
    uint32_t sum = 0;
    for (const Area &a : dev_.user_mat) {
        const uint64_t end = std::min<uint64_t>(uint64_t(a.end) + 1, flash_.size());
        for (uint64_t i = a.start; i < end; i++)
            sum += flash_[i];
    }
    std::vector<uint8_t> d;
    put32(d, sum);
    data_reply(kSumAnswer, 1, d);
}

void BootProgram::erase(const uint8_t *p, Outcome &out)
{
    uint8_t block = p[2];
    if (block == kEndOfErasure) {
        state_ = State::Select;
        ack();
        return;
    }
    if (block >= blocks_.size()) {
        refuse(p[0], kErrBlock);
        return;
    }
    const Area &b = blocks_[block];
    uint64_t end = std::min<uint64_t>(uint64_t(b.end) + 1, flash_.size());
    for (uint64_t a = b.start; a < end; a++) {
        flash_[a] = 0xFF;
        dirty_[a] = 0;
    }
    erased_.insert(block);
    line_programmed_.erase(line_programmed_.lower_bound(b.start),
                           line_programmed_.upper_bound(b.end));
    out.busy_seconds = dev_.erase_us * 1e-6;
    ack();
}

void BootProgram::program(const uint8_t *p, size_t n, const FaultSpec *f, Outcome &out)
{
    uint32_t addr = be32(p + 1);
    if (n == 6 && addr == 0xFFFFFFFFu) {
        state_ = State::Select;
        ack();
        return;
    }
    const uint32_t unit = dev_.unit;
    if (unit == 0 || addr % unit != 0 || uint64_t(addr) + unit > flash_.size()) {
        refuse(p[0], kErrAddress);
        return;
    }
    // Flash bits only go from 1 to 0; a unit must be erased before it can be
    // programmed again.
    if (std::any_of(dirty_.begin() + addr, dirty_.begin() + addr + unit,
                    [](uint8_t d) { return d != 0; })) {
        if (line_programmed_.count(addr) == 0)
            ++programmed_twice_;
        refuse(p[0], kErrProgram);
        return;
    }
    if (corrupted_)
        line_programmed_.insert(addr);
    else
        line_programmed_.erase(addr);
    const bool wrongly = f && (f->kind == Fault::ProgramWrong || f->kind == Fault::ProgramUnseen ||
                               f->kind == Fault::ProgramWrongRefused);
    for (uint32_t i = 0; i < unit; i++) {
        const bool wrong = wrongly && i == f->value % unit;
        flash_[addr + i] &= wrong ? uint8_t(~p[5 + i]) : p[5 + i];
        dirty_[addr + i] = 1;
    }
    programmed_.insert(addr);
    out.busy_seconds = dev_.program_us * 1e-6;
    if (f && f->kind == Fault::ProgramWrongRefused)
        refuse(p[0], kErrProgram);
    else
        ack();
}

void BootProgram::read(const uint8_t *p, const FaultSpec *f)
{
    uint8_t area = p[2];
    uint32_t addr = be32(p + 3), len = be32(p + 7);
    if (len == 0) {
        refuse(p[0], kErrLength);
        return;
    }
    if (area != 0x01 || uint64_t(addr) + len > flash_.size()) {
        refuse(p[0], kErrAddress);
        return;
    }
    if (dev_.max_read != 0 && len > dev_.max_read) {
        refuse(p[0], kErrLength);
        return;
    }
    std::vector<uint8_t> d(flash_.begin() + addr, flash_.begin() + addr + len);
    if (f && f->kind == Fault::ReadShort)
        d.pop_back();
    if (f && f->kind == Fault::ReadDifferent && !d.empty())
        d[f->value % d.size()] ^= 0xFF;
    data_reply(kRead, 4, d);
}

void BootProgram::end_session()
{
    if (state_ == State::Dead)
        return;
    state_ = State::Sync;
    got_zero_ = false;
    synchronised_ = false;
    rate_ = kSyncRate;
    last_error_ = 0;
}

} // namespace bootsim
