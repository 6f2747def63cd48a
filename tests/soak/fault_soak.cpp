// Fault soak: many seeded whole update runs of the engine against the simulated device, each
// with a fault mix drawn from its seed; checks how every run ends and writes a table per class.
#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/devsim_link.h"

#ifndef FWT_SOAK_BUILD
#define FWT_SOAK_BUILD "unknown build"
#endif

namespace {

// Far above any run that makes progress (the slowest end within minutes of virtual time); a run
// that reaches either cap is stuck, and that fails the soak.
constexpr int MAX_TICKS = 300000;
constexpr std::uint32_t MAX_VIRTUAL_MS = 3600 * 1000;
constexpr std::uint32_t FULL_IMAGE_BLOCKS = DEVICE_IMAGE_REGION / BLOCK_SIZE; // 118

enum fault_class : std::uint32_t {
    CLASS_CLEAN,
    CLASS_DROPS,
    CLASS_CORRUPTION,
    CLASS_SPLITS,
    CLASS_DELAYS,
    CLASS_POWER,
    CLASS_NOISE,
    CLASS_RESTARTS,
    CLASS_WRONG_CRC,
    CLASS_MIXED,
    CLASS_COUNT,
};

struct class_info {
    const char* name;
    const char* contents;
};

// What each class draws; the table prints this text, so keep it in step with draw_faults.
constexpr std::array<class_info, CLASS_COUNT> CLASSES = {{
    {"clean", "no faults; flash time 0-60 ms; replies paced at the line rate in 80% of runs"},
    {"drops", "1-50% of the replies of 1-3 request kinds dropped"},
    {"corruption", "1-50% of the replies of 1-3 request kinds with one byte changed"},
    {"splits",
     "replies of 1-3 kinds in 2-6 pieces, gaps 1-45 ms (joinable: up to every block ack) or "
     "51-300 ms (5-30% of block acks); contact, checksum and restart replies 1-30%, less for "
     "long gaps, so the gaps add under 40 ms of line time per reply"},
    {"delays/stale",
     "2-30% of the replies of 1-3 kinds held back 20-3000 ms or 10.0-13 s (past the time-out, "
     "so stale replies meet resent requests)"},
    {"late power-up", "device powers up 1-8000 ms after the first byte, often mid-frame"},
    {"noise", "1-4096 random bytes at power-up, after a power-up delay of 0-2000 ms"},
    {"ignored restarts", "the first 1-30 restart requests ignored"},
    {"wrong checksum",
     "device reports a wrong whole-image CRC; half the runs also drop or corrupt 1-10%"},
    {"mixed", "each fault above on with a 50% chance at a lighter dose; a wrong image CRC in 10%"},
}};

// splitmix64, seeded per run, so a seed replays its run exactly.
struct soak_rng {
    std::uint64_t state;
    std::uint64_t next() {
        state += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t range(std::uint32_t lo, std::uint32_t hi) { // inclusive
        return lo + static_cast<std::uint32_t>(next() % (std::uint64_t{hi} - lo + 1));
    }
    bool chance(std::uint32_t permille) { return range(0, 999) < permille; }
    std::uint32_t kinds() { return range(1, KIND_BIT_ALL); }
};

reply_selector share(std::uint32_t kinds, std::uint32_t permille) {
    return {kinds, 0, permille};
}

// Shares stay below 100% except for block acks split with gaps the engine joins: a fault that
// hits every reply of a kind the engine must see intact makes it resend for ever, by design.
// Contact and restart requests are resent every 110 ms and the device sends its replies one
// after another, so splits on those kinds get a share small enough that their gaps add under
// SPLIT_LINE_BUDGET_MS of line time per reply on average; more, and the replies back up behind
// the resends without end and the engine never reads a lone one.
constexpr std::uint32_t SPLIT_LINE_BUDGET_MS = 40;

void draw_splits(soak_rng* rng, device_config* c, std::uint32_t max_permille) {
    const std::uint32_t pieces = rng->range(2, 6);
    c->faults.split_pieces = static_cast<std::int32_t>(pieces);
    const bool joinable = rng->chance(500);
    c->faults.split_gap_ms = joinable ? rng->range(1, 45) : rng->range(51, 300);
    const std::uint32_t kinds = rng->kinds();
    if (kinds == (1u << REQ_WRITE_BLOCK)) {
        c->faults.split =
            share(kinds, joinable ? rng->range(200, 1000) : rng->range(50, max_permille));
        return;
    }
    const std::uint32_t budget =
        SPLIT_LINE_BUDGET_MS * 1000 / ((pieces - 1) * c->faults.split_gap_ms);
    const std::uint32_t top = std::max<std::uint32_t>(10, std::min(max_permille, budget));
    c->faults.split = share(kinds, rng->range(std::min<std::uint32_t>(50, top), top));
}

void draw_delays(soak_rng* rng, device_config* c, std::uint32_t max_permille) {
    c->faults.delay = share(rng->kinds(), rng->range(20, max_permille));
    c->faults.delay_ms = rng->chance(600) ? rng->range(10001, 13000) : rng->range(20, 3000);
}

void draw_faults(std::uint32_t cls, soak_rng* rng, device_config* c) {
    c->flash_ms = rng->range(0, 60);
    c->pacing = rng->chance(800);
    switch (cls) {
    case CLASS_DROPS:
        c->faults.drop = share(rng->kinds(), rng->range(10, 500));
        break;
    case CLASS_CORRUPTION:
        c->faults.corrupt = share(rng->kinds(), rng->range(10, 500));
        break;
    case CLASS_SPLITS:
        draw_splits(rng, c, 300);
        break;
    case CLASS_DELAYS:
        draw_delays(rng, c, 300);
        break;
    case CLASS_POWER:
        c->power_delay_ms = rng->range(1, 8000);
        break;
    case CLASS_NOISE:
        c->faults.noise_bytes = static_cast<std::int32_t>(rng->range(1, DEVICE_MAX_NOISE));
        c->power_delay_ms = rng->range(0, 2000);
        break;
    case CLASS_RESTARTS:
        c->faults.ignore_restarts = static_cast<std::int32_t>(rng->range(1, 30));
        break;
    case CLASS_WRONG_CRC:
        c->faults.wrong_image_crc = true;
        if (rng->chance(500)) {
            c->faults.drop = share(rng->kinds(), rng->range(10, 100));
            c->faults.corrupt = share(rng->kinds(), rng->range(10, 100));
        }
        break;
    case CLASS_MIXED:
        if (rng->chance(500)) {
            c->faults.drop = share(rng->kinds(), rng->range(10, 150));
        }
        if (rng->chance(500)) {
            c->faults.corrupt = share(rng->kinds(), rng->range(10, 150));
        }
        if (rng->chance(500)) {
            draw_splits(rng, c, 150);
        }
        if (rng->chance(500)) {
            draw_delays(rng, c, 100);
        }
        if (rng->chance(500)) {
            c->power_delay_ms = rng->range(1, 3000);
        }
        if (rng->chance(500)) {
            c->faults.noise_bytes = static_cast<std::int32_t>(rng->range(1, 500));
        }
        if (rng->chance(500)) {
            c->faults.ignore_restarts = static_cast<std::int32_t>(rng->range(1, 5));
        }
        c->faults.wrong_image_crc = rng->chance(100);
        break;
    default: // CLASS_CLEAN
        break;
    }
}

struct run_plan {
    std::uint64_t seed = 0;
    std::uint32_t cls = CLASS_CLEAN;
    std::uint32_t blocks = 1;
    std::uint32_t start_tick = 0;
    device_config config;
};

// Everything about a run follows from its seed: class, image, start tick and fault mix.
run_plan plan_run(std::uint64_t seed) {
    run_plan p;
    p.seed = seed;
    p.cls = static_cast<std::uint32_t>(seed % CLASS_COUNT);
    soak_rng rng{seed * 0x2545F4914F6CDD1Dull + 1};
    p.blocks = rng.chance(60) ? FULL_IMAGE_BLOCKS : rng.range(1, 16);
    // A third of the runs start within 10 s of the tick counter's wrap, so nearly all of them
    // cross it.
    p.start_tick = rng.chance(333) ? 0xFFFFFFFFu - rng.range(0, 10000)
                                   : static_cast<std::uint32_t>(rng.next());
    p.config.faults.seed = rng.next();
    draw_faults(p.cls, &rng, &p.config);
    return p;
}

std::string selector_text(const char* what, const reply_selector& s) {
    if (s.kinds == 0) {
        return {};
    }
    std::string kinds;
    for (std::uint32_t k = 0; k < REQ_KIND_COUNT; ++k) {
        if ((s.kinds & (1u << k)) != 0) {
            kinds += std::string(kinds.empty() ? "" : "+") + request_kind_name(k);
        }
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, " %s %u.%u%% of %s", what, s.permille / 10, s.permille % 10,
                  kinds.c_str());
    return buf;
}

std::string describe(const run_plan& p) {
    const device_config& c = p.config;
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "seed %" PRIu64 " class %s: %u blocks, start tick %#x, flash %u ms%s", p.seed,
                  CLASSES[p.cls].name, p.blocks, p.start_tick, c.flash_ms,
                  c.pacing ? "" : ", no pacing");
    std::string out = buf;
    out += selector_text("drop", c.faults.drop);
    out += selector_text("corrupt", c.faults.corrupt);
    if (c.faults.split.kinds != 0) {
        std::snprintf(buf, sizeof buf, " (%d pieces, gap %u ms)", c.faults.split_pieces,
                      c.faults.split_gap_ms);
        out += selector_text("split", c.faults.split) + buf;
    }
    if (c.faults.delay.kinds != 0) {
        std::snprintf(buf, sizeof buf, " (by %u ms)", c.faults.delay_ms);
        out += selector_text("delay", c.faults.delay) + buf;
    }
    if (c.power_delay_ms != 0) {
        out += " power-up +" + std::to_string(c.power_delay_ms) + " ms";
    }
    if (c.faults.noise_bytes != 0) {
        out += " noise " + std::to_string(c.faults.noise_bytes) + " bytes";
    }
    if (c.faults.ignore_restarts != 0) {
        out += " ignore " + std::to_string(c.faults.ignore_restarts) + " restarts";
    }
    if (c.faults.wrong_image_crc) {
        out += " wrong image CRC";
    }
    return out;
}

enum verdict : std::uint32_t { COMPLETED, FAILED_AS_EXPECTED, UNEXPECTED };

struct run_outcome {
    verdict v = UNEXPECTED;
    std::string why;
    devsim_run_result r;
    std::uint32_t timeouts = 0;
    std::uint32_t mismatched = 0;
};

std::uint32_t count_of(const std::string& text, const char* needle) {
    std::uint32_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

const char* state_name(std::uint32_t state) {
    static constexpr std::array<const char*, 8> NAMES = {
        "JOB_START",  "JOB_CONTACT", "JOB_AWAIT_LINK", "JOB_PROGRAM",
        "JOB_VERIFY", "JOB_FAILED",  "JOB_RESTART",    "JOB_DONE"};
    return state < NAMES.size() ? NAMES[state] : "unknown state";
}

// A run passes when it ends in JOB_DONE with the image in flash, or in JOB_FAILED exactly when
// the device was told to report a wrong whole-image checksum.
run_outcome judge(const run_plan& p, const devsim_run_result& r, const device_model* model) {
    run_outcome o;
    o.r = r;
    o.timeouts = count_of(scripted::host().trace, "TIMEOUT\n");
    o.mismatched = count_of(scripted::host().trace, "ERROR MISMATCHED REPLY TO COMMAND\n");
    const bool wrong_crc = p.config.faults.wrong_image_crc;
    if (r.state != JOB_DONE && r.state != JOB_FAILED) {
        o.why = std::string("cap reached in ") + state_name(r.state);
    } else if (!r.flash_matches) {
        o.why = "flash differs from the padded image";
    } else if (r.state == JOB_FAILED && !wrong_crc) {
        o.why = "JOB_FAILED, but the device reported the right checksum";
    } else if (r.state == JOB_DONE && wrong_crc) {
        o.why = "JOB_DONE, but the device reported a wrong checksum";
    } else if (r.state == JOB_DONE && model->counters.restarts == 0) {
        o.why = "JOB_DONE, but the device never took a restart request";
    } else {
        o.v = r.state == JOB_DONE ? COMPLETED : FAILED_AS_EXPECTED;
    }
    return o;
}

void print_event(void*, const device_event* ev) {
    static constexpr std::array<const char*, 3> FATES = {"answered", "dropped", "ignored"};
    if (ev->kind == EVENT_POWER_UP) {
        std::printf("dev %10.3f ms power up\n", static_cast<double>(ev->at_us) / 1000.0);
    } else if (ev->kind == EVENT_NOISE) {
        std::printf("dev %10.3f ms noise %u bytes\n", static_cast<double>(ev->at_us) / 1000.0,
                    ev->length);
    } else if (ev->kind == EVENT_IGNORED) {
        std::printf("dev %10.3f ms ignored (%s) %u bytes\n",
                    static_cast<double>(ev->at_us) / 1000.0, ignore_reason_name(ev->reason),
                    ev->length);
    } else {
        std::printf("dev %10.3f ms %02x %#x len %#x %s%s%s pieces %d delay %u ms\n",
                    static_cast<double>(ev->at_us) / 1000.0, ev->command, ev->address, ev->length,
                    FATES[ev->fate < 3 ? ev->fate : 2], ev->corrupted ? " corrupted" : "",
                    ev->wrong_crc ? " wrong-crc" : "", ev->pieces, ev->delayed_ms);
    }
}

// devsim_run_update with the device's log hook set, which device_init would clear.
run_outcome run_one(const run_plan& p, device_model* model, bool verbose) {
    const auto image = scripted::pattern_image(std::size_t{p.blocks} * BLOCK_SIZE,
                                               static_cast<std::uint32_t>(p.seed));
    scripted::reset(p.start_tick);
    device_init(model, &p.config);
    model->on_event = verbose ? print_event : nullptr;
    devsim_link link;
    devsim_link_attach(&link, model);
    scripted::job_fixture fx(image);
    devsim_run_result r;
    r.ticks = scripted::run_ticks(&fx.job, MAX_TICKS, [&fx, &p] {
        return fx.job.state == JOB_DONE || fx.job.state == JOB_FAILED ||
               scripted::host().now - p.start_tick > MAX_VIRTUAL_MS;
    });
    r.state = fx.job.state;
    r.virtual_ms = scripted::host().now - p.start_tick;
    r.flash_matches = devsim_flash_matches(model, image);
    scripted::host().on_write = nullptr; // the link dies with this frame
    model->on_event = nullptr;
    if (verbose) {
        std::printf("--- engine trace ---\n%s\n", scripted::host().trace.c_str());
    }
    return judge(p, r, model);
}

struct class_totals {
    std::uint32_t runs = 0;
    std::uint32_t completed = 0;
    std::uint32_t failed_expected = 0;
    std::uint32_t unexpected = 0;
    std::uint64_t virtual_ms = 0;
    std::uint32_t worst_ms = 0;
    std::uint64_t worst_seed = 0;
    std::uint64_t ticks = 0;
    std::uint64_t blocks = 0;
    std::uint32_t full_images = 0;
    std::uint32_t wrapped = 0;
    std::uint64_t timeouts = 0;
    std::uint64_t mismatched = 0;
    std::uint64_t dropped = 0;
    std::uint64_t corrupted = 0;
    std::uint64_t split = 0;
    std::uint64_t delayed = 0;
    std::uint64_t ignored = 0;
    std::uint64_t noise = 0;

    void add(const run_plan& p, const run_outcome& o, const device_model* m) {
        ++runs;
        completed += o.v == COMPLETED;
        failed_expected += o.v == FAILED_AS_EXPECTED;
        unexpected += o.v == UNEXPECTED;
        virtual_ms += o.r.virtual_ms;
        if (o.r.virtual_ms >= worst_ms) {
            worst_ms = o.r.virtual_ms;
            worst_seed = p.seed;
        }
        ticks += static_cast<std::uint64_t>(o.r.ticks);
        blocks += p.blocks;
        full_images += p.blocks == FULL_IMAGE_BLOCKS;
        wrapped += p.start_tick + o.r.virtual_ms < p.start_tick;
        timeouts += o.timeouts;
        mismatched += o.mismatched;
        dropped += m->counters.replies_dropped;
        corrupted += m->counters.replies_corrupted;
        split += m->counters.replies_split;
        delayed += m->counters.replies_delayed;
        ignored += device_ignored_total(m);
        noise += m->counters.noise_out;
    }
    void add(const class_totals& t) {
        runs += t.runs;
        completed += t.completed;
        failed_expected += t.failed_expected;
        unexpected += t.unexpected;
        virtual_ms += t.virtual_ms;
        if (t.worst_ms >= worst_ms) {
            worst_ms = t.worst_ms;
            worst_seed = t.worst_seed;
        }
        ticks += t.ticks;
        blocks += t.blocks;
        full_images += t.full_images;
        wrapped += t.wrapped;
        timeouts += t.timeouts;
        mismatched += t.mismatched;
        dropped += t.dropped;
        corrupted += t.corrupted;
        split += t.split;
        delayed += t.delayed;
        ignored += t.ignored;
        noise += t.noise;
    }
};

double mean(std::uint64_t sum, std::uint32_t n) {
    return n == 0 ? 0.0 : static_cast<double>(sum) / n;
}

void write_report(FILE* f, const std::array<class_totals, CLASS_COUNT>& by_class,
                  std::uint32_t runs, std::uint64_t base_seed, double wall_s) {
    class_totals all;
    for (const auto& t : by_class) {
        all.add(t);
    }
    std::fprintf(f, "# Fault soak\n\n");
    std::fprintf(f,
                 "Generated by `tools/soak-report.sh` (`fault_soak --runs %u --seed %" PRIu64
                 "`); do not edit by hand.\n\n",
                 runs, base_seed);
    std::fprintf(
        f,
        "Each run is one whole update of the engine against the simulated device in virtual "
        "time, from a fresh device and a random start tick, over an image of 1-16 blocks "
        "(118 blocks, the shipped size, in about 6%% of runs). Its seed picks the class "
        "(seed modulo %d) and draws the image, the start tick and the fault mix. A run "
        "passes when it ends in `JOB_DONE` with the device's flash equal to the padded "
        "image and at least one restart request taken by the device, or in `JOB_FAILED` "
        "when, and only when, the device was made to report a wrong whole-image checksum "
        "(its flash must still hold the image). Anything else fails the soak, a run that "
        "reaches the cap (%d ticks or an hour of virtual time) included.\n\n",
        static_cast<int>(CLASS_COUNT), MAX_TICKS);
    std::fprintf(f, "| fault class | runs | completed | failed as expected | unexpected | mean "
                    "virtual time | worst virtual time | mean ticks |\n");
    std::fprintf(f, "|---|--:|--:|--:|--:|--:|--:|--:|\n");
    auto row = [f](const char* name, const class_totals& t) {
        std::fprintf(f, "| %s | %u | %u | %u | %u | %.1f s | %.1f s | %.0f |\n", name, t.runs,
                     t.completed, t.failed_expected, t.unexpected,
                     mean(t.virtual_ms, t.runs) / 1000.0, t.worst_ms / 1000.0,
                     mean(t.ticks, t.runs));
    };
    for (std::uint32_t c = 0; c < CLASS_COUNT; ++c) {
        row(CLASSES[c].name, by_class[c]);
    }
    row("**total**", all);
    std::fprintf(f, "\nWall time of the soak: %.1f s (%s build).\n\n", wall_s, FWT_SOAK_BUILD);
    std::fprintf(f, "What the classes contain, and what the device and the engine saw (sums over "
                    "the class's runs):\n\n");
    std::fprintf(f, "| fault class | faults drawn per run | blocks | 118-block runs | runs across "
                    "tick wrap | replies dropped | corrupted | split | delayed | noise bytes | "
                    "frames ignored by device | engine time-outs | mismatched replies | worst "
                    "run's seed |\n");
    std::fprintf(f, "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    for (std::uint32_t c = 0; c < CLASS_COUNT; ++c) {
        const class_totals& t = by_class[c];
        std::fprintf(f,
                     "| %s | %s | %" PRIu64 " | %u | %u | %" PRIu64 " | %" PRIu64 " | %" PRIu64
                     " | %" PRIu64 " | %" PRIu64 " | %" PRIu64 " | %" PRIu64 " | %" PRIu64
                     " | %" PRIu64 " |\n",
                     CLASSES[c].name, CLASSES[c].contents, t.blocks, t.full_images, t.wrapped,
                     t.dropped, t.corrupted, t.split, t.delayed, t.noise, t.ignored, t.timeouts,
                     t.mismatched, t.worst_seed);
    }
    std::fprintf(f, "\nReplay one run with its trace and the device's log: `fault_soak --replay "
                    "SEED`.\n");
}

bool parse_u64(const char* s, std::uint64_t* out) {
    if (s == nullptr || *s == '\0') {
        return false;
    }
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s, &end, 0);
    if (*end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

int usage() {
    std::fprintf(stderr, "usage: fault_soak [--runs N] [--seed BASE] [--report FILE]\n"
                         "       fault_soak --replay SEED\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t runs = 1000;
    std::uint64_t base_seed = 1;
    std::uint64_t replay = 0;
    bool replaying = false;
    const char* report = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (std::strcmp(argv[i], "--runs") == 0) {
            ok = parse_u64(value, &runs) && runs > 0 && runs <= 10000000;
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            ok = parse_u64(value, &base_seed);
        } else if (std::strcmp(argv[i], "--replay") == 0) {
            ok = parse_u64(value, &replay);
            replaying = true;
        } else if (std::strcmp(argv[i], "--report") == 0) {
            ok = value != nullptr;
            report = value;
        } else {
            return usage();
        }
        if (!ok) {
            return usage();
        }
        ++i;
    }

    auto model = std::make_unique<device_model>();
    if (replaying) {
        const run_plan p = plan_run(replay);
        std::printf("%s\n", describe(p).c_str());
        const run_outcome o = run_one(p, model.get(), true);
        std::printf("result: %s, %d ticks, virtual %.3f s, flash %s, %u time-outs: %s\n",
                    state_name(o.r.state), o.r.ticks, o.r.virtual_ms / 1000.0,
                    o.r.flash_matches ? "matches" : "DIFFERS", o.timeouts,
                    o.v == UNEXPECTED ? o.why.c_str() : "pass");
        return o.v == UNEXPECTED ? 1 : 0;
    }

    std::array<class_totals, CLASS_COUNT> by_class{};
    std::uint32_t failures = 0;
    const auto wall_start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < runs; ++i) {
        const run_plan p = plan_run(base_seed + i);
        const run_outcome o = run_one(p, model.get(), false);
        by_class[p.cls].add(p, o, model.get());
        if (o.v == UNEXPECTED) {
            ++failures;
            std::printf("FAIL %s: %s after %d ticks, virtual %.1f s (replay: fault_soak --replay "
                        "%" PRIu64 ")\n",
                        describe(p).c_str(), o.why.c_str(), o.r.ticks, o.r.virtual_ms / 1000.0,
                        p.seed);
            std::fflush(stdout); // seen at once by a reader of a pipe (tools/mutants.py)
        }
    }
    const double wall_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();

    write_report(stdout, by_class, static_cast<std::uint32_t>(runs), base_seed, wall_s);
    if (report != nullptr) {
        FILE* f = std::fopen(report, "w");
        if (f == nullptr) {
            std::fprintf(stderr, "fault_soak: cannot write %s\n", report);
            return 1;
        }
        write_report(f, by_class, static_cast<std::uint32_t>(runs), base_seed, wall_s);
        std::fclose(f);
    }
    std::printf("%u of %" PRIu64 " runs ended unexpectedly\n", failures, runs);
    return failures == 0 ? 0 : 1;
}
