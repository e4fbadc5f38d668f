// The history on the real undo and memory services: frames kept in a ring
// that wraps, a faulted frame left out, a block made and a block freed
// inside the kept frames, every kept frame's start rebuilt going back and
// the newest state again going forward, and the memory cap.
#include <string.h>
#include <vector>

#include <gtest/gtest.h>

#include "guard/history.h"
#include "guard/undo.h"
#include "platform/memory.h"

namespace {

const u64 PAGE = 4096;
const u32 PAGES = 4;

struct world {
    memory_block a;
    memory_block b;  // made in frame 3, freed in frame 6
    void* slot;
};

// One frame: begin, the frame's writes, then kept or undone.
void run_frame(world* w, u32 frame, std::vector<std::vector<u8>>* starts,
               std::vector<bool>* b_live) {
    undo_begin_frame(&w->slot);
    starts->push_back(std::vector<u8>((u8*)w->a.memory, (u8*)w->a.memory + PAGES * PAGE));
    b_live->push_back(w->b.memory != nullptr);
    memset((u8*)w->a.memory + (frame % PAGES) * PAGE, (int)frame + 1, PAGE);
    if (frame == 3) {
        w->b = allocate_memory(3 * PAGE, NULL, 0);
        memset(w->b.memory, 0x33, 3 * PAGE);
    } else if (frame == 6) {
        free_memory(&w->b);
        w->b.memory = nullptr;
    }
    w->slot = (void*)(u64)(frame + 100);
    if (frame == 7) {
        ASSERT_TRUE(undo_rollback());
    } else {
        undo_commit();
    }
    history_note_payload(&frame, sizeof(frame));
}

u32 payload_of(u32 index) {
    u64 size = 0;
    const void* payload = history_payload(index, &size);
    EXPECT_EQ(size, sizeof(u32));
    u32 frame = 0;
    memcpy(&frame, payload, sizeof(frame));
    return frame;
}

TEST(History, KeptFramesRebuildEachStartBackAndTheNewestForward) {
    undo_start(1);
    history_limit(5, 64 << 20);
    world w = {};
    w.a = allocate_memory(PAGES * PAGE, NULL, 0);
    std::vector<std::vector<u8>> starts;
    std::vector<bool> b_live;
    for (u32 frame = 0; frame < 10; ++frame) {
        run_frame(&w, frame, &starts, &b_live);
    }
    undo_begin_frame(&w.slot);  // closes frame 9
    undo_commit();
    // The last five frames that returned; frame 7 faulted and was undone.
    ASSERT_EQ(history_frames(), 5u);
    u32 kept[] = {4, 5, 6, 8, 9};
    // The slot as each began: what the frame before left, frame 7's undone.
    u64 slot_at_start[] = {103, 104, 105, 106, 108};
    for (u32 i = 0; i < 5; ++i) {
        EXPECT_EQ(payload_of(i), kept[i]);
    }
    std::vector<u8> newest((u8*)w.a.memory, (u8*)w.a.memory + PAGES * PAGE);
    void* newest_slot = w.slot;
    history_pause(1);
    for (u32 i = 5; i-- > 0;) {
        ASSERT_EQ(history_step(i + 1, i), i);
        u32 frame = kept[i];
        EXPECT_EQ(memcmp(w.a.memory, starts[frame].data(), PAGES * PAGE), 0) << frame;
        EXPECT_EQ((u64)w.slot, slot_at_start[i]) << frame;
        bool live = false;
        for (u32 j = 0; j < memory_block_count(); ++j) {
            live |= memory_block_at(j).size == 3 * PAGE;
        }
        EXPECT_EQ(live, (bool)b_live[frame]) << frame;
    }
    // Frame 4 began with the block frame 3 made, as frame 3 left it.
    for (u32 j = 0; j < memory_block_count(); ++j) {
        memory_block_record record = memory_block_at(j);
        if (record.size == 3 * PAGE) {
            EXPECT_EQ(((u8*)record.memory)[PAGE + 5], 0x33);
        }
    }
    for (u32 i = 0; i < 5; ++i) {
        ASSERT_EQ(history_step(i, i + 1), i + 1);
    }
    EXPECT_EQ(memcmp(w.a.memory, newest.data(), PAGES * PAGE), 0);
    EXPECT_EQ(w.slot, newest_slot);
    // In one step each way, over the freed block: each frame's start again.
    u32 from = 5;
    for (u32 to : {0u, 3u, 1u, 5u}) {
        ASSERT_EQ(history_step(from, to), to);
        from = to;
        const std::vector<u8>& want = to == 5 ? newest : starts[kept[to]];
        EXPECT_EQ(memcmp(w.a.memory, want.data(), PAGES * PAGE), 0) << to;
        EXPECT_EQ((u64)w.slot, to == 5 ? (u64)newest_slot : slot_at_start[to]) << to;
    }
    // Outside the kept frames nothing moves.
    EXPECT_EQ(history_step(5, 6), 5u);
    EXPECT_EQ(history_step(9, 0), 9u);
    history_pause(0);

    // Frames that write more than the cap: the oldest go, never the frame.
    history_limit(100, 6 * PAGE);
    memory_block big = allocate_memory(64 * PAGE, NULL, 0);
    for (u32 frame = 0; frame < 8; ++frame) {
        undo_begin_frame(&w.slot);
        memset(big.memory, (int)frame + 1, 4 * PAGE);
        undo_commit();
        history_note_payload(&frame, sizeof(frame));
    }
    undo_begin_frame(&w.slot);
    undo_commit();
    EXPECT_LE(history_bytes(), 6 * PAGE);
    EXPECT_EQ(history_frames(), 1u);
    EXPECT_EQ(payload_of(0), 7u);
    history_limit(0, 0);
    free_memory(&big);
    free_memory(&w.a);
}

// Frames that change a few bytes of many pages keep those bytes, not the
// pages: a cap that would hold 4 frames of whole pages holds all 30, and
// each one's start comes back exactly, with the newest state after them.
TEST(History, KeepsWhatFramesChangedNotThePagesTheyWrote) {
    undo_start(1);
    const u32 pages = 64;
    const u32 frames = 30;
    history_limit(100, pages * PAGE * 4);
    memory_block block = allocate_memory(pages * PAGE, NULL, 0);
    void* slot = nullptr;
    std::vector<std::vector<u8>> starts;
    u8* bytes = (u8*)block.memory;
    for (u32 frame = 0; frame < frames + 1; ++frame) {
        undo_begin_frame(&slot);
        starts.push_back(std::vector<u8>(bytes, bytes + pages * PAGE));
        if (frame == frames) {
            undo_commit();
            break;
        }
        for (u32 page = 0; page < pages; ++page) {
            // A word somewhere in each page, and the page's last byte.
            u64 word = frame * 7919u + page;
            memcpy(bytes + page * PAGE + (frame * 136 + page * 8) % (PAGE - 8), &word, 8);
            bytes[page * PAGE + PAGE - 1] = (u8)(frame + page);
        }
        undo_commit();
        history_note_payload(&frame, sizeof(frame));
    }
    ASSERT_EQ(history_frames(), frames);
    EXPECT_EQ(history_first_steppable(), 0u);
    EXPECT_LT(history_bytes(), (u64)frames * pages * PAGE / 16);
    history_pause(1);
    for (u32 i = frames; i-- > 0;) {
        ASSERT_EQ(history_step(i + 1, i), i);
        ASSERT_EQ(memcmp(bytes, starts[i].data(), pages * PAGE), 0) << i;
    }
    for (u32 i = 0; i < frames; ++i) {
        ASSERT_EQ(history_step(i, i + 1), i + 1);
    }
    EXPECT_EQ(memcmp(bytes, starts[frames].data(), pages * PAGE), 0);
    history_pause(0);
    history_limit(0, 0);
    free_memory(&block);
}

// Frames that change every byte they write, more than the stage holds:
// the rest goes into the ring whole and the second thread swaps it with the
// undo's copy. A fault after such a start puts every byte back, and every
// kept frame's start comes back exactly, with the newest state after them.
TEST(History, BurstsBeyondTheStageAreKeptAndUndoneExactly) {
    undo_start(1);
    const u32 pages = 256;  // 1 MiB a frame; the stage holds half of it
    history_limit(100, 4u << 20);
    memory_block block = allocate_memory(pages * PAGE, NULL, 0);
    void* slot = nullptr;
    u8* bytes = (u8*)block.memory;
    std::vector<std::vector<u8>> starts;
    std::vector<u32> noted;
    for (u32 frame = 0; frame < 8; ++frame) {
        undo_begin_frame(&slot);
        starts.push_back(std::vector<u8>(bytes, bytes + pages * PAGE));
        for (u32 page = 0; page < pages; ++page) {
            memset(bytes + page * PAGE, (int)(page * 3 + frame), PAGE);
        }
        if (frame == 6) {
            ASSERT_TRUE(undo_rollback());
            ASSERT_EQ(memcmp(bytes, starts[6].data(), pages * PAGE), 0);
            starts.pop_back();
            continue;
        }
        undo_commit();
        // Given while the worker may still be closing the frame before.
        history_note_payload(&frame, sizeof(frame));
        noted.push_back(frame);
    }
    undo_begin_frame(&slot);
    undo_commit();
    std::vector<u8> newest(bytes, bytes + pages * PAGE);
    u32 kept = history_frames();
    ASSERT_GE(kept, 2u);
    for (u32 i = 0; i < kept; ++i) {
        EXPECT_EQ(payload_of(i), noted[noted.size() - kept + i]) << i;
    }
    history_pause(1);
    for (u32 i = kept; i-- > 0;) {
        ASSERT_EQ(history_step(i + 1, i), i);
        ASSERT_EQ(memcmp(bytes, starts[starts.size() - kept + i].data(), pages * PAGE), 0) << i;
    }
    for (u32 i = 0; i < kept; ++i) {
        ASSERT_EQ(history_step(i, i + 1), i + 1);
    }
    EXPECT_EQ(memcmp(bytes, newest.data(), pages * PAGE), 0);
    // Megabytes in one step, on both threads: the oldest start, a middle
    // one, the newest state.
    ASSERT_EQ(history_step(kept, 0), 0u);
    EXPECT_EQ(memcmp(bytes, starts[starts.size() - kept].data(), pages * PAGE), 0);
    ASSERT_EQ(history_step(0, kept / 2), kept / 2);
    EXPECT_EQ(memcmp(bytes, starts[starts.size() - kept + kept / 2].data(), pages * PAGE), 0);
    ASSERT_EQ(history_step(kept / 2, kept), kept);
    EXPECT_EQ(memcmp(bytes, newest.data(), pages * PAGE), 0);
    history_pause(0);
    history_limit(0, 0);
    free_memory(&block);
}

// Kept variables inside the running build's watched data change with its
// pages, and are stepped over once: every start comes back exactly.
TEST(History, KeptVariablesInsideTheImageStepLikeTheRest) {
    undo_start(1);
    history_limit(100, 16u << 20);
    // Not a block: the build's own pages.
    u8* data = (u8*)pages_allocate(4 * PAGE);
    ASSERT_NE(data, nullptr);
    engine_kept kept[] = {{"a.c:counter", data + 100, 8}, {"a.c:name", data + PAGE + 8, 32}};
    memory_set_kept(kept, 2, data, 4 * PAGE);
    undo_set_image(data, 4 * PAGE);
    void* slot = nullptr;
    std::vector<std::vector<u8>> starts;
    for (u32 frame = 0; frame < 6; ++frame) {
        undo_begin_frame(&slot);
        starts.push_back(std::vector<u8>(data, data + 4 * PAGE));
        u64 counter = frame * 1000 + 7;
        memcpy(data + 100, &counter, 8);
        memset(data + PAGE + 8, 'a' + (int)frame, 32);
        data[3 * PAGE + frame] = (u8)frame;
        undo_commit();
        history_note_payload(&frame, sizeof(frame));
    }
    undo_begin_frame(&slot);
    undo_commit();
    std::vector<u8> newest(data, data + 4 * PAGE);
    ASSERT_EQ(history_frames(), 6u);
    history_pause(1);
    for (u32 i = 6; i-- > 0;) {
        ASSERT_EQ(history_step(i + 1, i), i);
        EXPECT_EQ(memcmp(data, starts[i].data(), 4 * PAGE), 0) << i;
    }
    ASSERT_EQ(history_step(0, 6), 6u);
    EXPECT_EQ(memcmp(data, newest.data(), 4 * PAGE), 0);
    history_pause(0);
    history_limit(0, 0);
    undo_set_image(NULL, 0);
    memory_set_kept(NULL, 0, NULL, 0);
    pages_free(data, 4 * PAGE);
}

// The live block at memory's record; zeroed when none is.
memory_block_record record_of(const void* memory) {
    for (u32 j = 0; j < memory_block_count(); ++j) {
        if (memory_block_at(j).memory == memory) {
            return memory_block_at(j);
        }
    }
    return memory_block_record{};
}

bool block_live(const void* memory) { return record_of(memory).memory != nullptr; }

// A frame freed two blocks; stepping back over it, one of them can't come
// back because a block now lies in its place. Whichever of the two is
// brought back first, stepping stops at that frame's end with neither
// alive and the bytes as they were there; once the place is free again the
// frame's start comes back whole.
TEST(History, AFrameWhoseBlockCantComeBackLeavesMemoryWhereStepsStop) {
    undo_start(1);
    history_limit(10, 16u << 20);
    memory_block a = allocate_memory(PAGES * PAGE, NULL, 0);
    memory_block gone[2] = {};
    memory_block_record records[2] = {};
    void* slot = nullptr;
    std::vector<std::vector<u8>> starts;
    for (u32 frame = 0; frame < 3; ++frame) {
        undo_begin_frame(&slot);
        starts.push_back(std::vector<u8>((u8*)a.memory, (u8*)a.memory + PAGES * PAGE));
        memset((u8*)a.memory + frame * PAGE, (int)frame + 1, PAGE);
        for (u32 i = 0; i < 2; ++i) {
            if (frame == 0) {
                gone[i] = allocate_memory(2 * PAGE, NULL, 0);
                memset(gone[i].memory, 0x40 + (int)i, 2 * PAGE);
                records[i] = record_of(gone[i].memory);
            } else if (frame == 1) {
                free_memory(&gone[i]);
            }
        }
        undo_commit();
        history_note_payload(&frame, sizeof(frame));
    }
    undo_begin_frame(&slot);
    undo_commit();
    ASSERT_EQ(history_frames(), 3u);
    history_pause(1);
    for (u32 taken = 0; taken < 2; ++taken) {
        memory_block in_place = allocate_memory(2 * PAGE, records[taken].region, 0);
        ASSERT_EQ(in_place.memory, records[taken].memory);
        EXPECT_EQ(history_step(3, 1), 2u) << taken;
        EXPECT_EQ(memcmp(a.memory, starts[2].data(), PAGES * PAGE), 0) << taken;
        EXPECT_FALSE(block_live(records[1 - taken].memory)) << taken;
        EXPECT_EQ(((u8*)in_place.memory)[5], 0) << taken;
        free_memory(&in_place);
        ASSERT_EQ(history_step(2, 3), 3u);
    }
    ASSERT_EQ(history_step(3, 1), 1u);
    EXPECT_EQ(memcmp(a.memory, starts[1].data(), PAGES * PAGE), 0);
    for (u32 i = 0; i < 2; ++i) {
        ASSERT_TRUE(block_live(records[i].memory)) << i;
        EXPECT_EQ(((u8*)records[i].memory)[2 * PAGE - 1], 0x40 + i) << i;
    }
    ASSERT_EQ(history_step(1, 3), 3u);
    EXPECT_FALSE(block_live(records[0].memory) || block_live(records[1].memory));
    history_pause(0);
    history_limit(0, 0);
    free_memory(&a);
}

// A jump goes on from the nearest of the shown frame, the base (what the
// kept frames changed, as it was near the oldest) and, paused, the newest
// frame's end. Every kept start comes back exactly from the newest, and the
// newest from each: with the base carried past dropped frames, bytes first
// changed long after it (unaligned runs, the slot), frames that change whole
// pages and frames that change a word here and there. Again after going on
// live from a frame in the middle, and after frames that made and freed a
// block started the base anew.
TEST(History, JumpsFromTheBaseOrTheNewestBringBackEveryStartExactly) {
    undo_start(1);
    const u32 pages = 64;
    const u32 kept = 40;
    history_limit(kept, 64u << 20);
    memory_block block = allocate_memory(pages * PAGE, NULL, 0);
    memory_block made = {};
    u8* bytes = (u8*)block.memory;
    void* slot = nullptr;
    // The start of each frame the history keeps, by its index.
    std::vector<std::vector<u8>> starts;
    std::vector<void*> slots;
    auto run = [&](u32 frame) {
        undo_begin_frame(&slot);
        starts.push_back(std::vector<u8>(bytes, bytes + pages * PAGE));
        slots.push_back(slot);
        if (starts.size() > kept) {
            starts.erase(starts.begin());
            slots.erase(slots.begin());
        }
        for (u32 page = 0; page < pages; ++page) {
            u8* at = bytes + page * PAGE;
            if (frame % 3 == 0 && page < 16) {
                memset(at, (int)(frame + page), PAGE);
            } else {
                u64 word = frame * 7919u + page;
                memcpy(at + (frame * 136 + page * 8) % (PAGE - 8), &word, 8);
            }
        }
        if (frame % 50 == 10) {
            memset(bytes + (pages - 1) * PAGE + 13, 0xA0 + (int)frame, 999);
        }
        bytes[(frame * 4099u) % (pages * PAGE)] ^= 0x5A;
        slot = (void*)(u64)(frame * 3 + 1);
        if (frame == 110) {
            made = allocate_memory(2 * PAGE, NULL, 0);
            memset(made.memory, 0x77, 2 * PAGE);
        } else if (frame == 120) {
            free_memory(&made);
        }
        undo_commit();
        history_note_payload(&frame, sizeof(frame));
    };
    auto check_jumps = [&](const char* when) {
        undo_begin_frame(&slot);
        undo_commit();
        std::vector<u8> newest(bytes, bytes + pages * PAGE);
        void* newest_slot = slot;
        u32 count = history_frames();
        ASSERT_EQ(count, starts.size()) << when;
        history_pause(1);
        for (u32 to : {0u, 1u, 7u, 15u, count / 2, count - 3, count - 1}) {
            ASSERT_EQ(history_step(count, to), to) << when << to;
            EXPECT_EQ(memcmp(bytes, starts[to].data(), pages * PAGE), 0) << when << to;
            EXPECT_EQ(slot, slots[to]) << when << to;
            ASSERT_EQ(history_step(to, count), count) << when << to;
            EXPECT_EQ(memcmp(bytes, newest.data(), pages * PAGE), 0) << when << to;
            EXPECT_EQ(slot, newest_slot) << when << to;
        }
        ASSERT_EQ(history_step(count, 2), 2u);
        ASSERT_EQ(history_step(2, count - 2), count - 2);
        EXPECT_EQ(memcmp(bytes, starts[count - 2].data(), pages * PAGE), 0) << when;
        ASSERT_EQ(history_step(count - 2, count), count);
    };
    for (u32 frame = 0; frame < 100; ++frame) {
        run(frame);
    }
    check_jumps("100 frames, to ");
    // On live from the frame in the middle.
    ASSERT_EQ(history_step(kept, kept / 2), kept / 2);
    history_drop_from(kept / 2);
    history_pause(0);
    starts.resize(kept / 2);
    slots.resize(kept / 2);
    for (u32 frame = 100; frame < 130; ++frame) {
        run(frame);
    }
    check_jumps("on from the middle, to ");
    history_pause(0);
    history_limit(0, 0);
    free_memory(&block);
}

// Frames whose only changes are kept variables (taken where the module
// waits, never by the second thread) drop the oldest frame there: the base
// goes past each one it holds. A frame that changes a byte in more pages
// than its area holds starts it anew, a second on; going on live from
// before that, and on, it starts again there. Every kept start comes back
// exactly, and the newest after it.
TEST(History, TheBaseFollowsFramesDroppedWhereTheModuleWaits) {
    undo_start(1);
    const u32 kept = 20;
    const u64 size = 16 * PAGE;
    const u32 wide_pages = 300;
    history_limit(kept, 32u << 20);  // a base of 1 MiB: fewer pages than that
    memory_block wide = allocate_memory(wide_pages * PAGE, NULL, 0);
    u8* data = (u8*)pages_allocate(size);
    ASSERT_NE(data, nullptr);
    engine_kept variables[] = {{"a.c:state", data + 24, size - 40}};
    memory_set_kept(variables, 1, NULL, 0);
    void* slot = nullptr;
    std::vector<std::vector<u8>> starts;
    auto run = [&](u32 frame) {
        undo_begin_frame(&slot);
        starts.push_back(std::vector<u8>(data, data + size));
        if (starts.size() > kept) {
            starts.erase(starts.begin());
        }
        for (u64 at = 24; at + 8 <= size - 16; at += 8) {
            u64 word = frame * 0x9E3779B97F4A7C15ull + at;
            memcpy(data + at, &word, 8);
        }
        for (u32 page = 0; frame == 50 && page < wide_pages; ++page) {
            ((u8*)wide.memory)[page * PAGE + 7] = 1;
        }
        undo_commit();
        history_note_payload(&frame, sizeof(frame));
    };
    auto check_jumps = [&](const char* when) {
        undo_begin_frame(&slot);
        undo_commit();
        std::vector<u8> newest(data, data + size);
        u32 count = history_frames();
        ASSERT_EQ(count, starts.size()) << when;
        history_pause(1);
        for (u32 to = 0; to < count; ++to) {
            ASSERT_EQ(history_step(count, to), to) << when << to;
            EXPECT_EQ(memcmp(data, starts[to].data(), size), 0) << when << to;
            ASSERT_EQ(history_step(to, count), count) << when << to;
            EXPECT_EQ(memcmp(data, newest.data(), size), 0) << when << to;
        }
    };
    for (u32 frame = 0; frame < 45; ++frame) {
        run(frame);
    }
    check_jumps("45 frames, to ");
    history_pause(0);
    for (u32 frame = 45; frame < 90; ++frame) {
        run(frame);
    }
    // Live again from before the base's frame, once the frame shown there
    // took in what the step wrote, as the host's paused frames do.
    u32 count = history_frames();
    ASSERT_EQ(history_step(count, 3), 3u);
    undo_begin_frame(&slot);
    undo_commit();
    history_drop_from(3);
    history_pause(0);
    starts.resize(3);
    for (u32 frame = 90; frame < 120; ++frame) {
        run(frame);
    }
    check_jumps("on from before the base, to ");
    history_pause(0);
    history_limit(0, 0);
    memory_set_kept(NULL, 0, NULL, 0);
    pages_free(data, size);
    free_memory(&wide);
}

}  // namespace
