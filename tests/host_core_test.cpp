// The host's platform-free parts: padding the embedded image, the fatal report's text, the
// port list's selection after a rescan, the progress shown in the caption, the run logs' names,
// and the ways of loading a system DLL.
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

// Each row: the previous scan, its selection, the new scan, and the entry to select.
TEST(PortSelection, FollowsThePortNotThePosition) {
    struct row {
        std::initializer_list<int> old;
        int selected;
        std::initializer_list<int> fresh;
        int want;
    };
    const row rows[] = {
        {{}, -1, {3}, 0},               // start-up with one port
        {{}, -1, {3, 10}, 0},           // start-up with several: the first
        {{}, -1, {}, -1},               // nothing to select
        {{3}, 0, {3, 12}, 1},           // the adapter just plugged in is selected
        {{10}, 0, {3, 10}, 0},          // ... also when it sorts before the selected port
        {{3, 10}, 1, {1, 3, 10}, 0},    // one new port wins over the kept selection
        {{3, 10}, 1, {1, 2, 3, 10}, 3}, // several new: the selected port stays, moved
        {{3, 10}, 1, {1, 3}, 0},        // one new and the selected gone: the new one
        {{3, 10}, 1, {3}, 0},           // the selected port gone, nothing new: item 0
        {{3, 10, 12}, 2, {3, 10}, 0},   // ... also when it was the last
        {{3, 12}, 1, {}, -1},           // every port gone
        {{3, 12}, 0, {12}, 0},          // the selected gone, the other one moves up
        {{3, 12}, 1, {3, 12}, 1},       // nothing changed
        {{3, 12}, -1, {3, 12}, 0},      // no selection before
        {{3}, 7, {3}, 0},               // a selection beyond the old list is ignored
        {{3}, 1, {3}, 0},               // ... also one just past its end
    };
    for (const row& r : rows) {
        const auto old = ports(r.old);
        const auto fresh = ports(r.fresh);
        EXPECT_EQ(port_selection_after_scan(old, r.selected, fresh), r.want)
            << "old " << old.size() << " selected " << r.selected << " fresh " << fresh.size()
            << " first " << (fresh.empty() ? "" : fresh[0].data());
    }
    EXPECT_TRUE(port_lists_equal(ports({3, 12}), ports({3, 12})));
    EXPECT_FALSE(port_lists_equal(ports({3, 12}), ports({3, 13})));
    EXPECT_FALSE(port_lists_equal(ports({3}), ports({3, 12})));
    EXPECT_FALSE(port_lists_equal(ports({3, 12}), ports({3})));
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
