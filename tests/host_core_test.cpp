// The host's platform-free parts: padding the embedded image, the fatal report's text, the
// port list's rescans and selection, the progress shown in the caption, the run logs' names and
// which of them go, the run record's line, the run guard's loss and flash decisions, and the ways
// of loading a system DLL.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>
#include <string>
#include <vector>

#include "host/dll_search.h"
#include "host/fatal.h"
#include "host/image.h"
#include "host/log_names.h"
#include "host/port_select.h"
#include "host/progress.h"
#include "host/run_guard_rules.h"
#include "host/run_record_line.h"
#include "tests/support/scripted_host.h"

namespace {

TEST(ImagePrepare, ShippedLengthPadsTo118BlocksWithZeroTail) {
    scripted::reset();
    const auto image = scripted::pattern_image(120128, 7);
    update_job job{};
    ASSERT_EQ(image_prepare(&job, image.data(), static_cast<std::uint32_t>(image.size())),
              IMAGE_OK);
    EXPECT_EQ(job.image_size, 0x1D800);
    EXPECT_EQ(job.image_size / BLOCK_SIZE, 118);
    EXPECT_EQ(job.image_base, FLASH_IMAGE_BASE);
    EXPECT_EQ(std::memcmp(job.image, image.data(), image.size()), 0);
    for (std::int32_t i = 120128; i < job.image_size; ++i) {
        ASSERT_EQ(job.image[i], 0) << "at " << i;
    }
    EXPECT_NE(scripted::host().trace.find("\nFlash Image Base 0x8004000\n"), std::string::npos);
    EXPECT_NE(scripted::host().trace.find("Flash Image Size 0x1d800 bytes\n"), std::string::npos);
    std::free(const_cast<std::uint8_t*>(job.image));
}

// The About box's place of the image: the end is one past the last byte, the reset handler read
// little-endian from the second word, whatever the image holds.
TEST(ImagePrepare, DescribedFromItsOwnBytes) {
    const std::uint8_t vectors[8] = {0x00, 0x50, 0x00, 0x20, 0x01, 0x41, 0x00, 0x08};
    char text[96];
    image_describe(vectors, 120128, text, sizeof text);
    EXPECT_STREQ(text, "Addresses: 0x08004000-0x08021540\nReset handler: 0x08004101");
    image_describe(vectors, 7, text, sizeof text);
    EXPECT_STREQ(text, "Addresses: 0x08004000-0x08004007\nReset handler: none (too short)");
    image_describe(nullptr, 0, text, sizeof text);
    EXPECT_STREQ(text, "Addresses: none (no image)");
}

TEST(ImagePrepare, WholeBlocksAreNotPaddedFurther) {
    EXPECT_EQ(padded_image_size(1), 1024);
    EXPECT_EQ(padded_image_size(1024), 1024);
    EXPECT_EQ(padded_image_size(1025), 2048);
    EXPECT_EQ(padded_image_size(3072), 3072);
}

TEST(ImagePrepare, EmptyOrMissingImageIsRefusedAndTheJobUntouched) {
    scripted::reset();
    const std::uint8_t byte = 0xAA;
    update_job job{};
    EXPECT_EQ(image_prepare(&job, &byte, 0), IMAGE_EMPTY);
    EXPECT_EQ(image_prepare(&job, nullptr, 100), IMAGE_EMPTY);
    EXPECT_EQ(job.image, nullptr);
    EXPECT_EQ(job.image_size, 0);
    EXPECT_EQ(scripted::host().trace, "");
}

// The padding is zeros even where the allocator hands back used memory: small images, whose
// padding lies where a sanitizer's allocator fills fresh memory with a pattern, and heap that
// was written and freed just before.
TEST(ImagePrepare, PaddingIsZeroWhateverTheHeapHeldBefore) {
    for (const std::uint32_t length : {1u, 100u, 1023u, 1025u, 3000u}) {
        SCOPED_TRACE(length);
        scripted::reset();
        const std::int32_t padded = padded_image_size(length);
        void* dirty = std::malloc(static_cast<std::size_t>(padded));
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0xA5, static_cast<std::size_t>(padded));
        std::free(dirty);
        const std::vector<std::uint8_t> image(length, 0x5A);
        update_job job{};
        ASSERT_EQ(image_prepare(&job, image.data(), length), IMAGE_OK);
        ASSERT_EQ(job.image_size, padded);
        EXPECT_EQ(std::memcmp(job.image, image.data(), length), 0);
        for (std::int32_t i = static_cast<std::int32_t>(length); i < padded; ++i) {
            ASSERT_EQ(job.image[i], 0) << "at " << i;
        }
        char size_line[64];
        std::snprintf(size_line, sizeof size_line, "Flash Image Size %#x bytes\n",
                      static_cast<unsigned>(padded));
        EXPECT_NE(scripted::host().trace.find(size_line), std::string::npos);
        std::free(const_cast<std::uint8_t*>(job.image));
    }
}

// A length whose padded size does not fit the job's signed size is refused before any
// allocation is tried (it would otherwise wrap to a small or negative size).
TEST(ImagePrepare, LengthBeyondTheSizeFieldIsOutOfMemory) {
    const std::uint32_t largest = 0x7FFFFC00; // INT32_MAX rounded down to whole blocks
    EXPECT_EQ(padded_image_size(largest), static_cast<std::int32_t>(largest));
    EXPECT_EQ(padded_image_size(largest + 1), 0);
    EXPECT_EQ(padded_image_size(std::numeric_limits<std::uint32_t>::max()), 0);
    const std::uint8_t byte = 0;
    update_job job{};
    EXPECT_EQ(image_prepare(&job, &byte, largest + 1), IMAGE_NO_MEMORY);
    EXPECT_EQ(job.image, nullptr);
}

constexpr char CLOSING[] = "\n\n The program will now abort\n\n\n";

std::int32_t describe_missing_file(std::uint32_t, char* out, std::int32_t room) {
    const char text[] = "File not found.\r\n";
    if (room < static_cast<std::int32_t>(sizeof text)) {
        return 0;
    }
    std::memcpy(out, text, sizeof text);
    return static_cast<std::int32_t>(sizeof text - 1);
}

std::int32_t describe_nothing(std::uint32_t, char*, std::int32_t) {
    return 0;
}

// Fills all the room it is given and claims even more.
std::int32_t describe_flood(std::uint32_t, char* out, std::int32_t room) {
    std::memset(out, 'x', static_cast<std::size_t>(room - 1));
    out[room - 1] = '\0';
    return room + 500;
}

std::string format(std::span<char> out, const char* text, std::uint32_t code,
                   describe_error_fn describe) {
    const std::size_t len = format_fatal_message(out, text, code, describe);
    EXPECT_EQ(len, std::strlen(out.data()));
    return std::string(out.data());
}

TEST(FatalMessage, WithoutLastErrorOnlyHeadingTextAndClosing) {
    std::vector<char> out(FATAL_MESSAGE_SIZE);
    EXPECT_EQ(format(out, "Could not create dialog", 0, describe_missing_file),
              std::string("\n\nAn Error has occurred as follows:\n"
                          "          Could not create dialog\n") +
                  CLOSING);
}

TEST(FatalMessage, SystemDescriptionFollowsTheErrorNumber) {
    std::vector<char> out(FATAL_MESSAGE_SIZE);
    EXPECT_EQ(format(out, "Unable to open serial port. In use already, or not present", 2,
                     describe_missing_file),
              std::string("\n\nAn Error has occurred as follows:\n"
                          "          Unable to open serial port. In use already, or not present\n"
                          "Error number 2 reported\n"
                          "File not found.\r\n") +
                  CLOSING);
}

TEST(FatalMessage, NumberLineStandsAloneWithoutDescription) {
    std::vector<char> out(FATAL_MESSAGE_SIZE);
    EXPECT_EQ(format(out, "Out of memory", 1450, describe_nothing),
              std::string("\n\nAn Error has occurred as follows:\n"
                          "          Out of memory\n"
                          "Error number 1450 reported\n") +
                  CLOSING);
}

// Error numbers are shown as the system's signed 32-bit values, so those with the top bit set
// (HRESULT-style codes) come out negative, as the platform's own tools print them.
TEST(FatalMessage, ErrorNumbersAbove2To31AreSigned) {
    std::vector<char> out(FATAL_MESSAGE_SIZE);
    EXPECT_NE(
        format(out, "x", 0x80070005u, describe_nothing).find("Error number -2147024891 reported\n"),
        std::string::npos);
    EXPECT_NE(
        format(out, "x", 0x7FFFFFFFu, describe_nothing).find("Error number 2147483647 reported\n"),
        std::string::npos);
    EXPECT_NE(format(out, "x", 0xFFFFFFFFu, describe_nothing).find("Error number -1 reported\n"),
              std::string::npos);
}

// The smallest buffers: one that holds only the closing lines and their terminator gets just
// those; one byte less gets an empty text. Exact heap sizes let the sanitizer see any byte past.
TEST(FatalMessage, SmallestRoomHoldsTheClosingOrNothing) {
    const std::size_t closing = std::strlen(CLOSING);
    std::vector<char> just(closing + 1, '#');
    EXPECT_EQ(format(just, "Out of memory", 5, describe_flood), CLOSING);
    std::vector<char> less(closing, '#');
    EXPECT_EQ(format_fatal_message(less, "Out of memory", 5, describe_flood), 0u);
    EXPECT_EQ(less[0], '\0');
    EXPECT_TRUE(std::all_of(less.begin() + 1, less.end(), [](char c) { return c == '#'; }));
}

// The description is not asked for when no more than one character of it could be kept (a
// cut that short says nothing); otherwise it may use all of the room up to the closing lines.
TEST(FatalMessage, DescriptionUsesExactlyTheRoomLeft) {
    const std::string body = "\n\nAn Error has occurred as follows:\n"
                             "          Out of memory\n"
                             "Error number 5 reported\n";
    const std::size_t closing = std::strlen(CLOSING);
    for (const std::size_t room :
         {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
        SCOPED_TRACE(room);
        std::vector<char> out(body.size() + room + closing + 1, '#');
        const std::string text = format(out, "Out of memory", 5, describe_flood);
        EXPECT_EQ(text, body + std::string(room < 2 ? 0 : room, 'x') + CLOSING);
    }
}

// However long the system's text or the failure, the report stays inside its buffer and
// still ends with the closing lines.
TEST(FatalMessage, OverlongTextsAreCutAndTheClosingKept) {
    std::vector<char> out(FATAL_MESSAGE_SIZE + 16, '#');
    std::span<char> buffer(out.data(), FATAL_MESSAGE_SIZE);
    std::string result = format(buffer, "Out of memory", 5, describe_flood);
    EXPECT_EQ(result.size(), FATAL_MESSAGE_SIZE - 1);
    EXPECT_EQ(result.substr(result.size() - std::strlen(CLOSING)), CLOSING);
    for (std::size_t i = FATAL_MESSAGE_SIZE; i < out.size(); ++i) {
        ASSERT_EQ(out[i], '#') << "written past the buffer at " << i;
    }

    const std::string long_text(3000, 'T');
    result = format(buffer, long_text.c_str(), 0, nullptr);
    EXPECT_EQ(result.size(), FATAL_MESSAGE_SIZE - 1);
    EXPECT_EQ(result.substr(result.size() - std::strlen(CLOSING)), CLOSING);

    std::vector<char> tiny(8, '#');
    EXPECT_EQ(format_fatal_message(tiny, "x", 2, describe_flood), 0u);
    EXPECT_EQ(tiny[0], '\0');
}

std::vector<port_path> ports(std::initializer_list<int> numbers) {
    std::vector<port_path> out;
    for (int n : numbers) {
        port_path p{};
        std::snprintf(p.data(), p.size(), "\\\\.\\com%d", n);
        out.push_back(p);
    }
    return out;
}

// Each row: the previous scan, its selection, the new scan, the entry to select, and whether
// the user picked a port since start-up.
TEST(PortSelection, FollowsThePortNotThePosition) {
    struct row {
        std::initializer_list<int> old;
        int selected;
        std::initializer_list<int> fresh;
        int want;
        bool picked = false;
    };
    const row rows[] = {
        {{}, -1, {3}, 0},                  // start-up with one port
        {{}, -1, {3, 10}, 0},              // start-up with several: the first
        {{}, -1, {}, -1},                  // nothing to select
        {{3}, 0, {3, 12}, 1},              // the adapter just plugged in is selected
        {{10}, 0, {3, 10}, 0},             // ... also when it sorts before the selected port
        {{3, 10}, 1, {1, 3, 10}, 0},       // one new port wins over the kept selection
        {{3, 10}, 1, {1, 2, 3, 10}, 3},    // several new: the selected port stays, moved
        {{3, 10}, 0, {1, 2, 3, 10}, 2},    // ... also when it was entry 0
        {{3, 10}, 1, {1, 3}, 0},           // one new and the selected gone: the new one
        {{3, 10}, 1, {3}, 0},              // the selected port gone, nothing new: item 0
        {{3, 10, 12}, 2, {3, 10}, 0},      // ... also when it was the last
        {{3, 12}, 1, {}, -1},              // every port gone
        {{3, 12}, 0, {12}, 0},             // the selected gone, the other one moves up
        {{3, 12}, 1, {3, 12}, 1},          // nothing changed
        {{3, 12}, -1, {3, 12}, 0},         // no selection before
        {{3}, 7, {3}, 0},                  // a selection beyond the old list is ignored
        {{3}, 1, {3}, 0},                  // ... also one just past its end
        {{3}, 0, {3, 12}, 0, true},        // a pick held while another station's port appears
        {{3, 10}, 1, {1, 3, 10}, 2, true}, // ... also one that sorts before it
        {{3, 10}, 1, {3, 12}, 0, true},    // the picked port gone: item 0, not the new one
    };
    for (const row& r : rows) {
        const auto old = ports(r.old);
        const auto fresh = ports(r.fresh);
        EXPECT_EQ(port_selection_after_scan(old, r.selected, fresh, r.picked), r.want)
            << "old " << old.size() << " selected " << r.selected << " fresh " << fresh.size()
            << " picked " << r.picked << " first " << (fresh.empty() ? "" : fresh[0].data());
    }
    EXPECT_TRUE(port_lists_equal(ports({3, 12}), ports({3, 12})));
    EXPECT_FALSE(port_lists_equal(ports({3, 12}), ports({3, 13})));
    EXPECT_FALSE(port_lists_equal(ports({3}), ports({3, 12})));
    EXPECT_FALSE(port_lists_equal(ports({3, 12}), ports({3})));
}

// The ports a fake probe finds, by number, as Windows drivers behave: a paired Bluetooth port
// takes seconds to open or to fail (the fake: just long enough to count as slow), one held by
// another program fails at once.
enum fake_port { ABSENT, PRESENT, BUSY, SLOW_ABSENT, SLOW_PRESENT };
std::array<fake_port, MAX_COM_PORT + 1> fake_ports{};
std::array<int, MAX_COM_PORT + 1> probes{};

port_probe_result fake_probe(const port_path& path) {
    const int number = std::atoi(path.data() + std::strlen("\\\\.\\com"));
    ++probes[static_cast<std::size_t>(number)];
    switch (fake_ports[static_cast<std::size_t>(number)]) {
    case PRESENT:
        return {true, 3};
    case SLOW_ABSENT:
        return {false, SLOW_PROBE_MS};
    case SLOW_PRESENT:
        return {true, SLOW_PROBE_MS};
    default:
        return {false, 0};
    }
}

// A sequence of scans with the ports changing between them. Each row: the port that changes
// first (0: none) and how, the kind of scan, the list it gives, the probes it makes of ports 3,
// 5, 7 and 12 and in all, and the port the tool holds (0: none).
TEST(PortScan, DropDownsOpenNoListedPortAndWaitOnASlowOneOnlyOncePerNotice) {
    struct row {
        int port;
        fake_port now;
        port_scan_kind kind;
        std::initializer_list<int> want;
        std::array<int, 4> probed; // ports 3, 5, 7, 12
        int total;
        int held = 0;
    };
    const row rows[] = {
        {3, PRESENT, SCAN_ALL, {3}, {1, 1, 1, 1}, MAX_COM_PORT},         // start-up: 5 busy, 7 slow
        {0, ABSENT, SCAN_UNLISTED, {3}, {0, 1, 0, 1}, MAX_COM_PORT - 2}, // drop-down
        {0, ABSENT, SCAN_UNLISTED, {3}, {0, 1, 0, 1}, MAX_COM_PORT - 2}, // and again
        {5, PRESENT, SCAN_UNLISTED, {3, 5}, {0, 1, 0, 1}, MAX_COM_PORT - 2}, // 5 released
        {3, ABSENT, SCAN_UNLISTED, {3, 5}, {0, 0, 0, 1}, MAX_COM_PORT - 3}, // only notices see 3 go
        {0, ABSENT, SCAN_ALL, {5}, {1, 1, 1, 1}, MAX_COM_PORT},             // a notice's scan
        {12, SLOW_PRESENT, SCAN_UNLISTED, {5, 12}, {1, 0, 0, 1}, MAX_COM_PORT - 2}, // found slowly
        {0, ABSENT, SCAN_UNLISTED, {5, 12}, {1, 0, 0, 0}, MAX_COM_PORT - 3},  // listed: not again
        {7, PRESENT, SCAN_UNLISTED, {5, 12}, {1, 0, 0, 0}, MAX_COM_PORT - 3}, // 7 waits a notice
        {0, ABSENT, SCAN_ALL, {5, 7, 12}, {1, 1, 1, 1}, MAX_COM_PORT},
        // 5 held by the tool, so its probe would fail: listed unprobed while others come and go.
        {5, BUSY, SCAN_ALL, {5, 7, 12}, {1, 0, 1, 1}, MAX_COM_PORT - 1, 5},
        {3, PRESENT, SCAN_ALL, {3, 5, 7, 12}, {1, 0, 1, 1}, MAX_COM_PORT - 1, 5},
        {12, ABSENT, SCAN_ALL, {3, 5, 7}, {1, 0, 1, 1}, MAX_COM_PORT - 1, 5},
        {0, ABSENT, SCAN_UNLISTED, {3, 5, 7}, {0, 0, 0, 1}, MAX_COM_PORT - 3, 5},
        {0, ABSENT, SCAN_ALL, {3, 7}, {1, 1, 1, 1}, MAX_COM_PORT}, // given up, another has it
    };
    fake_ports = {};
    fake_ports[5] = BUSY;
    fake_ports[7] = SLOW_ABSENT;
    port_table tables[2]{};
    port_table* shown = &tables[0];
    port_table* fresh = &tables[1];
    port_scan_memory memory{};
    int step = 0;
    for (const row& r : rows) {
        if (r.port != 0) {
            fake_ports[static_cast<std::size_t>(r.port)] = r.now;
        }
        probes = {};
        const port_path held = ports({r.held})[0];
        port_scan(r.kind, shown, fresh, &memory, fake_probe, r.held != 0 ? &held : nullptr);
        const auto want = ports(r.want);
        EXPECT_TRUE(
            port_lists_equal({fresh->path.data(), static_cast<std::size_t>(fresh->count)}, want))
            << "step " << step << ": " << fresh->count << " ports";
        const std::array<int, 4> probed = {probes[3], probes[5], probes[7], probes[12]};
        EXPECT_EQ(probed, r.probed) << "step " << step;
        int total = 0;
        for (int n : probes) {
            total += n;
        }
        EXPECT_EQ(total, r.total) << "step " << step;
        std::swap(shown, fresh);
        ++step;
    }
}

std::string named(const std::vector<std::uint8_t>& bytes) {
    return port_named_in_notice(bytes.data(), bytes.size()).data();
}

std::vector<std::uint8_t> ansi(const char* text, std::size_t extra_zeros = 1) {
    std::vector<std::uint8_t> out(text, text + std::strlen(text));
    out.resize(out.size() + extra_zeros, 0);
    return out;
}

std::vector<std::uint8_t> wide(const char* text) {
    std::vector<std::uint8_t> out;
    for (const char* c = text; *c != '\0'; ++c) {
        out.push_back(static_cast<std::uint8_t>(*c));
        out.push_back(0);
    }
    out.resize(out.size() + 2, 0);
    return out;
}

// The name field of a removal notice, as far as its size says, in either form.
TEST(PortScan, RemovalNoticeNamesAComPort) {
    EXPECT_EQ(named(ansi("COM12")), "\\\\.\\com12");
    EXPECT_EQ(named(wide("COM3")), "\\\\.\\com3");
    EXPECT_EQ(named(ansi("com998")), "\\\\.\\com998");
    EXPECT_EQ(named(ansi("COM7", 0)), "\\\\.\\com7"); // unterminated, ends with the field
    EXPECT_EQ(named({'C', 'O', 'M', '1', '2'}), "\\\\.\\com12");
    for (const char* refused :
         {"LPT1", "COM", "COM0", "COM012", "COM999", "COM1234567", "COM5X", "", "CO"}) {
        EXPECT_EQ(named(ansi(refused)), "") << refused;
        EXPECT_EQ(named(wide(refused)), "") << refused;
    }
    EXPECT_EQ(named({}), "");
    EXPECT_EQ(named({'C', 0, 'O', 1, 'M', 0, '3', 0}), ""); // not UTF-16 after all

    port_table table{};
    for (const port_path& p : ports({3, 5, 12})) {
        table.path[static_cast<std::size_t>(table.count++)] = p;
    }
    EXPECT_FALSE(port_table_remove(&table, ports({7})[0]));
    EXPECT_EQ(table.count, 3);
    const auto listed = [&table] {
        return std::span<const port_path>{table.path.data(), static_cast<std::size_t>(table.count)};
    };
    EXPECT_TRUE(port_table_remove(&table, ports({5})[0]));
    EXPECT_TRUE(port_lists_equal(listed(), ports({3, 12})));
    EXPECT_TRUE(port_table_remove(&table, ports({12})[0]));
    EXPECT_TRUE(port_lists_equal(listed(), ports({3})));
}

// What a press makes of the port lock and of the open's Windows error: busy only when another
// copy holds the lock or another program the port; any other failure is fatal.
TEST(PortOpen, BusyForAnotherCopyOrProgramAndFatalOtherwise) {
    struct row {
        port_lock_state lock;
        std::uint32_t error;
        port_open_verdict want;
    };
    const row rows[] = {
        {PORT_LOCK_TAKEN, 0, PORT_OPEN_OK},
        {PORT_LOCK_TAKEN, 5, PORT_OPEN_BUSY},     // ERROR_ACCESS_DENIED: another program has it
        {PORT_LOCK_TAKEN, 32, PORT_OPEN_BUSY},    // ERROR_SHARING_VIOLATION
        {PORT_LOCK_TAKEN, 2, PORT_OPEN_FATAL},    // ERROR_FILE_NOT_FOUND: unplugged
        {PORT_LOCK_TAKEN, 3, PORT_OPEN_FATAL},    // ERROR_PATH_NOT_FOUND
        {PORT_LOCK_TAKEN, 31, PORT_OPEN_FATAL},   // ERROR_GEN_FAILURE
        {PORT_LOCK_TAKEN, 121, PORT_OPEN_FATAL},  // ERROR_SEM_TIMEOUT
        {PORT_LOCK_TAKEN, 1167, PORT_OPEN_FATAL}, // ERROR_DEVICE_NOT_CONNECTED
        {PORT_LOCK_TAKEN, 0xFFFFFFFFu, PORT_OPEN_FATAL}, // a failure with no error number
        {PORT_LOCK_HELD_ELSEWHERE, 0, PORT_OPEN_BUSY},   // another copy: not even opened
        {PORT_LOCK_HELD_ELSEWHERE, 2, PORT_OPEN_BUSY},
        {PORT_LOCK_UNAVAILABLE, 0, PORT_OPEN_OK},
        {PORT_LOCK_UNAVAILABLE, 5, PORT_OPEN_BUSY},
        {PORT_LOCK_UNAVAILABLE, 2, PORT_OPEN_FATAL},
    };
    for (const row& r : rows) {
        EXPECT_EQ(port_open_decide(r.lock, r.error), r.want) << r.lock << " " << r.error;
    }
    const auto lock_name = [](const char* path) {
        port_path p{};
        std::snprintf(p.data(), p.size(), "%s", path);
        return std::string(port_lock_name_of(p).data());
    };
    EXPECT_EQ(lock_name("\\\\.\\com12"), "Global\\fwt-port-com12");
    EXPECT_EQ(lock_name("\\\\.\\com998"), "Global\\fwt-port-com998");
    for (const char* refused :
         {"\\\\.\\com999", "\\\\.\\com0", "\\\\.\\com", "\\\\.\\com3x", "COM3", ""}) {
        EXPECT_EQ(lock_name(refused), "") << refused;
    }
}

// How drivers fail: each row a run of checks of the held port, and the check at which the port
// is lost (-1: never). Each check: its time, the read or write error, the ClearCommError and
// GetCommState errors, whether a removal notice named the port, and whether "Update Device"
// was pressed just before it (a new run).
TEST(PortLoss, TwoIndependentSignsAndNotSupportedNeverCounts) {
    struct check_at {
        std::uint32_t ms;
        port_check check;
        bool press = false;
    };
    struct row {
        const char* behaviour;
        std::vector<check_at> checks;
        int lost_at;
    };
    const auto twice = [](std::uint32_t clear, std::uint32_t state) {
        return std::vector<check_at>{{0, {0, clear, state, false}},
                                     {250, {0, clear, state, false}}};
    };
    std::vector<check_at> every_87;
    for (std::uint32_t ms = 0; ms <= 5000; ms += 250) {
        every_87.push_back({ms, {0, 87, 0, false}});
    }
    const std::uint32_t wrap = 0xFFFFFF00u;
    const row rows[] = {
        {"working port", twice(0, 0), -1},
        {"working port whose ClearCommError fails with 87", every_87, -1},
        {"neither query supported (1)", twice(1, 1), -1},
        {"neither query supported (50)", twice(50, 50), -1},
        {"87 after a removal notice", {{0, {87, 87, 87, true}}, {250, {0, 87, 87, false}}}, -1},
        {"removal notice, the port still answers", {{0, {0, 0, 0, true}}, {250, {}}}, -1},
        {"answered, then removed: nothing but 87", {{0, {}}, {250, {0, 87, 87, true}}}, 1},
        {"answered, then 87 without a removal notice",
         {{0, {}}, {250, {0, 87, 87, false}}, {500, {0, 87, 87, false}}},
         -1},
        {"ClearCommError always 87, then a removal notice",
         {{0, {0, 87, 0, false}}, {250, {0, 87, 0, true}}, {500, {0, 87, 0, false}}},
         -1},
        {"removed: 2 from both queries", twice(2, 2), 0},
        {"removed: 5", twice(5, 5), 0},
        {"removed: 21 (Wine, far end closed)", twice(21, 21), 0},
        {"removed: 22", twice(22, 22), 0},
        {"removed: 31", twice(31, 31), 0},
        {"removed: 995", twice(995, 995), 0},
        {"removed: 1167", twice(1167, 1167), 0},
        {"a read fails with 22 and so does ClearCommError", {{0, {22, 22, 0, false}}}, 0},
        {"ClearCommError 22 once, then clean", {{0, {0, 22, 0, false}}, {250, {}}}, -1},
        {"ClearCommError 31 repeating",
         {{0, {0, 31, 0, false}}, {100, {0, 31, 0, false}}, {250, {0, 31, 0, false}}},
         2},
        {"a clean check ends the run of failures",
         {{0, {0, 995, 0, false}},
          {250, {}},
          {500, {0, 995, 0, false}},
          {600, {0, 995, 0, false}},
          {750, {0, 995, 0, false}}},
         4},
        {"GetCommState 22 with ClearCommError unsupported",
         {{0, {0, 87, 22, false}}, {250, {0, 87, 22, false}}},
         1},
        {"removal notice, then ClearCommError 1167", {{0, {0, 1167, 0, true}}}, 0},
        {"removal notice first, the failure later",
         {{0, {0, 0, 0, true}}, {250, {0, 22, 0, false}}},
         1},
        {"a read failing with 87 alone", {{0, {87, 0, 0, false}}, {250, {87, 0, 0, false}}}, -1},
        {"the tick counter wraps between the failures",
         {{wrap, {0, 31, 0, false}}, {wrap + 0x110u, {0, 31, 0, false}}},
         1},
        {"a failure in the last run, one in the next",
         {{0, {0, 22, 0, false}}, {300, {0, 22, 0, false}, true}},
         -1},
        {"a removal notice in the last run, a failure in the next",
         {{0, {0, 0, 0, true}}, {250, {0, 22, 0, false}, true}},
         -1},
    };
    for (const row& r : rows) {
        port_watch watch{};
        int lost_at = -1;
        for (std::size_t k = 0; k < r.checks.size() && lost_at < 0; ++k) {
            if (r.checks[k].press) {
                port_watch_start(&watch);
            }
            if (port_loss_decide(&watch, r.checks[k].check, r.checks[k].ms)) {
                lost_at = static_cast<int>(k);
            }
        }
        EXPECT_EQ(lost_at, r.lost_at) << r.behaviour;
    }
}

// The window, a box it owns (the About box, the close confirmation), another program's window,
// and none at all (a locked desktop).
TEST(RunEndFlash, OnlyWhenTheWindowIsNotInFront) {
    int window = 0, box = 0, other = 0;
    EXPECT_FALSE(run_end_flashes(&window, &window, &window));
    EXPECT_FALSE(run_end_flashes(&window, &box, &window));
    EXPECT_TRUE(run_end_flashes(&window, &other, &other));
    EXPECT_TRUE(run_end_flashes(&window, nullptr, nullptr));
}

std::string caption(int percent, std::int32_t seconds_left) {
    std::array<char, CAPTION_SIZE> out{};
    progress_caption(out, percent, seconds_left);
    return out.data();
}

// A whole run at a steady pace, the counter wrapping on the way: the percentage never falls
// and reaches 100 only with the last block, the time left appears after three
// acknowledgements and matches the real rest.
TEST(Progress, SteadyRunRisesToHundredWithAnHonestEstimate) {
    constexpr std::int32_t size = 118 * BLOCK_SIZE;
    constexpr std::uint32_t block_ms = 340;
    progress_tracker p;
    progress_reset(&p);
    std::uint32_t now = 0xFFFFF000u;
    int last_percent = 0;
    for (std::int32_t block = 0; block <= 118; ++block) {
        const std::int32_t offset = block * BLOCK_SIZE;
        progress_note(&p, offset, now);
        progress_note(&p, offset, now + 100); // the same offset again, a tick later
        const int percent = progress_percent(offset, size);
        ASSERT_GE(percent, last_percent);
        ASSERT_EQ(percent == 100, block == 118) << block;
        last_percent = percent;
        const std::int32_t left = progress_seconds_left(&p, size, now + 100);
        if (block < 3) {
            EXPECT_EQ(left, -1) << block;
        } else {
            EXPECT_EQ(left, static_cast<std::int32_t>(((118 - block) * block_ms + 500) / 1000))
                << block;
        }
        now += block_ms;
    }
    EXPECT_EQ(progress_percent(0, 0), 0);
    EXPECT_EQ(progress_percent(BLOCK_SIZE - 1, 100 * BLOCK_SIZE), 0);
}

// Slow acknowledgements (a resend) lengthen the estimate within the window; starting over
// drops the history.
TEST(Progress, EstimateFollowsRecentPaceAndRestartClearsIt) {
    constexpr std::int32_t size = 100 * BLOCK_SIZE;
    progress_tracker p;
    progress_reset(&p);
    std::uint32_t now = 0;
    std::int32_t offset = 0;
    for (int i = 0; i < 20; ++i, now += 300, offset += BLOCK_SIZE) {
        progress_note(&p, offset, now);
    }
    const std::uint32_t last = now - 300;
    const std::int32_t steady = progress_seconds_left(&p, size, last);
    EXPECT_EQ(steady, 24); // 81 blocks left at 0.3 s
    // A stall: the estimate stands for two blocks' time, then goes.
    EXPECT_EQ(progress_seconds_left(&p, size, last + 600), 24);
    EXPECT_EQ(progress_seconds_left(&p, size, last + 601), -1);
    EXPECT_EQ(progress_seconds_left(&p, size, last + 10000), -1);
    for (int i = 0; i < static_cast<int>(PROGRESS_WINDOW); ++i, now += 1300, offset += BLOCK_SIZE) {
        progress_note(&p, offset, now);
    }
    EXPECT_EQ(progress_seconds_left(&p, size, now - 1300), (73 * 1300 + 500) / 1000);
    progress_note(&p, 0, now);
    EXPECT_EQ(progress_seconds_left(&p, size, now), -1);
    // The new run's pace alone counts once it has its own intervals.
    for (offset = BLOCK_SIZE; offset <= 3 * BLOCK_SIZE; offset += BLOCK_SIZE) {
        progress_note(&p, offset, now += 500);
    }
    EXPECT_EQ(progress_seconds_left(&p, size, now), 49); // 97 blocks left at 0.5 s
}

TEST(Progress, CaptionTexts) {
    EXPECT_EQ(caption(-1, -1), "Device Firmware Update Tool");
    EXPECT_EQ(caption(0, -1), "0% - Device Firmware Update Tool");
    EXPECT_EQ(caption(42, 75), "42% (1:15 left) - Device Firmware Update Tool");
    EXPECT_EQ(caption(100, 0), "100% - Device Firmware Update Tool");
    EXPECT_EQ(caption(7, 5999), "7% (99:59 left) - Device Firmware Update Tool");
    std::array<char, 8> tiny{};
    EXPECT_EQ(progress_caption(tiny, 50, 10), 7u);
    EXPECT_STREQ(tiny.data(), "50% (0:");
}

TEST(RunLog, NamesAndWhichStartUpRemoves) {
    std::array<char, LOG_NAME_SIZE> name{};
    log_file_name(name, {2026, 12, 8, 9, 5, 7}, 4242);
    EXPECT_STREQ(name.data(), "fwt-20261208-090507-4242.log");
    EXPECT_TRUE(log_is_run_log(name.data()));
    // The names tried when that one exists already.
    log_file_name(name, {2026, 12, 8, 9, 5, 7}, 4242, 1);
    EXPECT_STREQ(name.data(), "fwt-20261208-090507-4242-1.log");
    log_file_name(name, {2026, 12, 8, 9, 5, 7}, 4242, 12);
    EXPECT_STREQ(name.data(), "fwt-20261208-090507-4242-12.log");
    EXPECT_TRUE(log_is_run_log(name.data()));
    for (const char* other :
         {"fwt-20261208-090507-.log", "fwt-2026120-090507-1.log", "fwt-20261208-090507-1.txt",
          "notes.log", "fwt-20261208-09x507-1.log", "fwt-20261208-090507-1.log.bak",
          "fwt-20261208-090507-1-.log", "fwt-20261208-090507--2.log", "fwt-20261208-090507-1-x.log",
          "fwt-20261208-090507-1-2-3.log"}) {
        EXPECT_FALSE(log_is_run_log(other)) << other;
    }

    // 25 logs in no order, written a minute apart in the order of their names' days, except
    // that two were written in the same minute (they order by the time in the name, then by
    // process number) and one is named a year late: its clock was wrong when it started, but
    // it is the newest.
    std::vector<std::string> owned;
    std::vector<log_entry> logs;
    constexpr std::uint64_t minute = 60;
    for (int i = 0; i < 24; ++i) {
        const int day = 10 + (i * 7) % 24;
        owned.push_back("fwt-202601" + std::to_string(day) + "-120000-5.log");
        logs.push_back({nullptr, static_cast<std::uint64_t>(day) * minute});
    }
    owned.push_back("fwt-20260110-120000-40.log");
    logs.push_back({nullptr, 10 * minute});
    owned.push_back("fwt-20270101-120000-7.log");
    logs.push_back({nullptr, 5 * minute}); // the oldest, by its write time
    owned.push_back("fwt-20250101-120000-8.log");
    logs.push_back({nullptr, 99 * minute});
    for (std::size_t i = 0; i < logs.size(); ++i) {
        logs[i].name = owned[i].c_str();
    }
    const std::uint64_t now = 100 * minute;
    const std::size_t expired = log_select_expired(logs, 20, now);
    ASSERT_EQ(expired, 7u);
    EXPECT_STREQ(logs[0].name, "fwt-20270101-120000-7.log");
    EXPECT_STREQ(logs[1].name, "fwt-20260110-120000-5.log");
    EXPECT_STREQ(logs[2].name, "fwt-20260110-120000-40.log");
    EXPECT_STREQ(logs[6].name, "fwt-20260114-120000-5.log");
    EXPECT_STREQ(logs[7].name, "fwt-20260115-120000-5.log");
    EXPECT_STREQ(logs[26].name, "fwt-20250101-120000-8.log");
    EXPECT_EQ(log_select_expired(std::span(logs).first(3), 20, now), 0u);

    // The clock was set back an hour after 20 logs: the ones written before are ahead of it,
    // so they go before the log of the start just before this one, written since.
    std::vector<log_entry> back;
    for (std::size_t i = 0; i < 20; ++i) {
        back.push_back({owned[i].c_str(), now + 3600 + i});
    }
    back.push_back({"fwt-20250101-120000-8.log", now - 60});
    ASSERT_EQ(log_select_expired(back, 19, now), 2u);
    EXPECT_EQ(back[0].written, now + 3600);
    EXPECT_EQ(back[1].written, now + 3601);
    EXPECT_STREQ(back[20].name, "fwt-20250101-120000-8.log");
}

// Start-up's removals in a folder of logs sized in MB and timed in hours before now (negative:
// after now, written before the clock was set back); `busy` logs are being written by another
// copy and cannot be removed. Logs are named after the hours, so the expected ones read as the
// order of removal.
TEST(RunLog, RemovalByAgeCountAndFolderSize) {
    struct log_row {
        std::int64_t written_ago, created_ago;
        std::uint64_t mb;
        bool busy;
    };
    struct row {
        const char* what;
        std::vector<log_row> logs;
        std::uint64_t records_mb; // runs*.csv
        std::vector<std::string> removed;
        std::uint64_t mb_left;
    };
    constexpr std::int64_t old = 31 * 24;
    auto many = [](std::int64_t n, std::int64_t first_ago, std::uint64_t mb) {
        std::vector<log_row> logs;
        for (std::int64_t i = 0; i < n; ++i) {
            logs.push_back({first_ago + i, first_ago + i, mb, false});
        }
        return logs;
    };
    auto with = [](std::vector<log_row> logs, const std::vector<log_row>& more) {
        logs.insert(logs.end(), more.begin(), more.end());
        return logs;
    };
    const std::vector<row> rows = {
        {"under the limit nothing goes, however old", many(30, old, 6), 0, {}, 180},
        {"exactly the limit: nothing goes", many(25, old, 8), 0, {}, 200},
        {"over it the oldest go until it is reached",
         many(30, old, 8),
         0,
         {"h773", "h772", "h771", "h770", "h769"},
         200},
        {"the newest 20 stay however old and large", many(22, old, 20), 0, {"h765", "h764"}, 400},
        {"the last 30 days stay however large", many(25, 1, 20), 0, {}, 500},
        {"runs*.csv counts; a busy log stays, takes its room, and the next goes",
         with(many(29, old, 5), {{old + 40, old + 40, 5, true}}),
         80,
         {"h772", "h771", "h770", "h769", "h768", "h767"},
         200},
        // A copy left open for weeks: its log was made 90 days ago and written 2 days ago.
        {"a log made long ago but written recently is recent",
         with(many(20, 1, 1), {{48, 90 * 24, 250, false}, {old, old, 10, false}}),
         0,
         {"h744"},
         270},
        // Written an hour and a year after now: the clock was set back an hour, or was a year
        // ahead when they were written.
        {"ahead of the clock: recent up to 30 days, beyond judged by the order",
         with(many(20, 1, 1), {{-1, -1, 150, false}, {-8760, -8760, 150, false}}),
         0,
         {"h-8760"},
         170},
    };
    constexpr std::uint64_t now = 100000;
    constexpr std::uint64_t mb = 1024 * 1024;
    for (const row& r : rows) {
        std::vector<std::string> names;
        for (const log_row& l : r.logs) {
            names.push_back("h" + std::to_string(l.written_ago) + (l.busy ? "-busy" : ""));
        }
        std::vector<log_entry> logs;
        std::uint64_t bytes = r.records_mb * mb;
        for (std::size_t i = 0; i < r.logs.size(); ++i) {
            const log_row& l = r.logs[i];
            logs.push_back({names[i].c_str(), static_cast<std::uint64_t>(now - l.written_ago),
                            static_cast<std::uint64_t>(now - l.created_ago), l.mb * mb});
            bytes += l.mb * mb;
        }
        std::vector<std::string> removed;
        auto remove = [](const log_entry* log, void* context) {
            if (std::strstr(log->name, "busy") != nullptr) {
                return false;
            }
            static_cast<std::vector<std::string>*>(context)->push_back(log->name);
            return true;
        };
        const log_rule rule{20, 30 * 24, 200 * mb};
        const std::uint64_t left = log_remove_expired(logs, rule, now, bytes, remove, &removed);
        std::vector<std::string> oldest_first(r.removed);
        EXPECT_EQ(removed, oldest_first) << r.what;
        EXPECT_EQ(left, r.mb_left * mb) << r.what;
    }
}

// One line of runs.csv for each outcome, and the fields that need quoting.
TEST(RunRecord, LinesOfEachOutcomeQuotedWhereTheyMustBe) {
    struct row {
        std::uint32_t outcome;
        const char* port;
        std::uint64_t ms;
        std::uint32_t blocks, resends;
        const char* version;
        const char* log;
        const char* line;
    };
    const char* sha = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    const row rows[] = {
        {RUN_COMPLETED, "\\\\.\\com5", 35149, 118, 1, "1.0.0", "fwt-20261211-113000-4242.log",
         "2026-12-11T10:30:00Z,COM5,completed,35.1,118,1,SHA,1.0.0,fwt-20261211-113000-4242.log"},
        {RUN_FAILED, "\\\\.\\com12", 35150, 3, 0, "1.0.0", "fwt-1.log",
         "2026-12-11T10:30:00Z,COM12,failed,35.2,3,0,SHA,1.0.0,fwt-1.log"},
        {RUN_DISCONNECTED, "\\\\.\\COM3", 949, 1, 12, "1.0.0", "",
         "2026-12-11T10:30:00Z,COM3,disconnected,0.9,1,12,SHA,1.0.0,"},
        {RUN_ABANDONED, "com7", 0, 0, 0, "2.1, beta", "a \"b\" c",
         "2026-12-11T10:30:00Z,COM7,abandoned,0.0,0,0,SHA,\"2.1, beta\",\"a \"\"b\"\" c\""},
        {RUN_COMPLETED, "\\\\.\\com5", 600049, 118, 0, "1\r\n2", "x\ny",
         "2026-12-11T10:30:00Z,COM5,completed,600.0,118,0,SHA,\"1\r\n2\",\"x\ny\""},
    };
    for (const row& r : rows) {
        const run_record record{{2026, 12, 11, 10, 30, 0},
                                r.port,
                                r.outcome,
                                r.ms,
                                r.blocks,
                                r.resends,
                                sha,
                                r.version,
                                r.log};
        std::array<char, RUN_LINE_SIZE> line{};
        const std::size_t len = run_record_format(line, &record);
        std::string want = r.line;
        want.replace(want.find("SHA"), 3, sha);
        want += "\r\n";
        EXPECT_EQ(std::string(line.data(), len), want);
    }
    // A line that does not fit is not written at all, rather than cut.
    const run_record record{{2026, 12, 11, 10, 30, 0}, "com5", RUN_FAILED, 0, 0, 0, sha, "1", ""};
    std::array<char, 110> small{};
    EXPECT_EQ(run_record_format(small, &record), 0u);
    EXPECT_STREQ(small.data(), "");
    std::array<char, 111> enough{};
    EXPECT_EQ(run_record_format(enough, &record), 110u);

    std::array<char, RUNS_NAME_SIZE> name{};
    EXPECT_EQ(runs_archive_name(name, {2026, 12, 11, 9, 5, 7}, 0), 24u);
    EXPECT_STREQ(name.data(), "runs-20261211-090507.csv");
    runs_archive_name(name, {2026, 12, 11, 9, 5, 7}, 3);
    EXPECT_STREQ(name.data(), "runs-20261211-090507-3.csv");
    EXPECT_FALSE(runs_file_full(RUNS_FILE_LIMIT, RUNS_FILE_LIMIT));
    EXPECT_TRUE(runs_file_full(RUNS_FILE_LIMIT + 1, RUNS_FILE_LIMIT));

    update_job job{};
    job.state = JOB_PROGRAM;
    job.image_offset = 2 * BLOCK_SIZE;
    EXPECT_EQ(run_outcome_of(&job), RUN_DISCONNECTED);
    EXPECT_EQ(run_blocks_acknowledged(&job), 2u);
    job.image_offset = 700; // an image shorter than a block is one block
    EXPECT_EQ(run_blocks_acknowledged(&job), 1u);
    job.state = JOB_DONE;
    EXPECT_EQ(run_outcome_of(&job), RUN_COMPLETED);
    job.state = JOB_FAILED;
    EXPECT_EQ(run_outcome_of(&job), RUN_FAILED);
}

// The ways tried, in order, on a system with and without the search flags (Windows 7 without
// KB2533623 has none).
std::vector<dll_way> ways_tried(bool search_flags) {
    std::vector<dll_way> ways;
    for (dll_way w = dll_first_way(search_flags); w != DLL_GIVE_UP && ways.size() < 4;
         w = dll_next_way(w)) {
        ways.push_back(w);
    }
    return ways;
}

TEST(SystemDll, TheSearchFlagFirstWhereTheSystemHasItThenTheFullPath) {
    EXPECT_EQ(ways_tried(true), (std::vector<dll_way>{DLL_FROM_SYSTEM32, DLL_BY_FULL_PATH}));
    EXPECT_EQ(ways_tried(false), (std::vector<dll_way>{DLL_BY_FULL_PATH}));
    EXPECT_EQ(dll_next_way(DLL_GIVE_UP), DLL_GIVE_UP);
}

// Each row: what GetSystemDirectoryW left in a buffer of folder_size characters and returned,
// the room for the path, and the path (empty: refused).
TEST(SystemDll, FullPathFromWhatGetSystemDirectoryReturned) {
    struct row {
        const wchar_t* folder;
        std::size_t folder_size;
        std::uint32_t result;
        std::size_t out_size;
        const wchar_t* want;
    };
    const std::wstring long_folder = L"D:\\" + std::wstring(250, L'w');
    const row rows[] = {
        {L"C:\\Windows\\system32", 260, 19, 292, L"C:\\Windows\\system32\\bcrypt.dll"},
        {L"C:\\Windows\\system32", 260, 0, 292, L""}, // the call failed
        {L"", 260, 300, 292, L""},                    // the folder needs 300
        {L"", 260, 260, 292, L""},                    // ... one more than the buffer
        {L"C:\\", 260, 3, 292, L"C:\\bcrypt.dll"},    // the root: no second backslash
        {L"C:\\WINDOWS\\system32xx", 260, 19, 292, L"C:\\WINDOWS\\system32\\bcrypt.dll"},
        {L"C:\\Windows\\system32", 260, 19, 31, L"C:\\Windows\\system32\\bcrypt.dll"},
        {L"C:\\Windows\\system32", 260, 19, 30, L""},  // no room for the terminator
        {long_folder.c_str(), 260, 253, 292, nullptr}, // the longest folder fits
        {L"C:\\Windows\\system32", 260, 19, 0, L""},   // no room at all
    };
    for (const row& r : rows) {
        std::vector<wchar_t> folder(r.folder_size, L'?');
        std::wmemcpy(folder.data(), r.folder, std::wcslen(r.folder) + 1);
        std::vector<wchar_t> out(r.out_size + 1, L'#');
        const std::wstring want = r.want != nullptr ? r.want : long_folder + L"\\bcrypt.dll";
        const bool done =
            dll_system_path(std::span(out).first(r.out_size), folder, r.result, L"bcrypt.dll");
        EXPECT_EQ(done, !want.empty()) << r.result << " " << r.out_size;
        if (r.out_size > 0) {
            EXPECT_EQ(std::wstring(out.data()), want) << r.result << " " << r.out_size;
        }
        EXPECT_EQ(out[r.out_size], L'#') << "written past the room: " << r.out_size;
    }
}

} // namespace
