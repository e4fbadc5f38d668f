// The services table as a module sees it on Windows: every slot called
// through a filled table, in table order, against real files, memory and
// directories.
#include <gtest/gtest.h>

#include <float.h>
#include <string.h>

#include <string>

#include "platform/clock.h"
#include "platform/services.h"
#include "tests/platform/scratch_win32.h"

static u32 breakpoints_seen;

static LONG CALLBACK resume_after_breakpoint(EXCEPTION_POINTERS* exception) {
    if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_BREAKPOINT) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ++breakpoints_seen;
    if (*(u8*)exception->ContextRecord->Rip == 0xCC) {
        exception->ContextRecord->Rip += 1;
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(ServicesTable, EverySlotInOrder) {
    scratch_folder scratch;
    scratch_enter(&scratch);
    clock_start();
    static platform_api table;
    platform_api* api = fill_platform_api(&table);
    char buffer[64] = {0};

    // 0, 1: open (parents created) and close.
    file_handle file = api->open_file("slots/file.txt", 0, FILE_OPEN_WRITE);
    ASSERT_TRUE(handle_valid(file.handle));
    EXPECT_TRUE(is_directory("slots"));
    api->close_file(&file);
    EXPECT_TRUE(DeleteFileA("slots\\file.txt"));  // nothing holds it any more

    // 2, 3: read and write at offsets through a record.
    write_text("slots\\file.txt", "0123456789");
    file = api->open_file("slots/file.txt", 0, FILE_OPEN_WRITE | FILE_OPEN_KEEP);
    EXPECT_EQ(api->read_file(&file, buffer, (u64)4, 3), 4u);
    EXPECT_EQ(std::string(buffer, 4), "3456");
    EXPECT_EQ(api->write_file(&file, "ab", 2, 8), 2u);
    EXPECT_EQ(file.position, 10u);
    api->close_file(&file);
    EXPECT_EQ(read_text("slots\\file.txt"), "01234567ab");

    // 4, 5: whole-path read and write.
    EXPECT_EQ(api->read_file_at_path("slots/file.txt", buffer, 3, 7), 3u);
    EXPECT_EQ(std::string(buffer, 3), "7ab");
    EXPECT_EQ(api->write_file_at_path("slots/other.txt", "xyz", 3, 0), 3u);
    EXPECT_EQ(read_text("slots\\other.txt"), "xyz");

    // 6, 7: listing and existence.
    dir_entry entries[4];
    EXPECT_EQ(api->list_directory("slots\\*.txt", entries, 4), 2u);
    EXPECT_EQ(api->file_exists("slots/other.txt"), 1u);
    EXPECT_EQ(api->file_exists("slots/none.txt"), 0u);

    // 8 to 13: change detection, times and sizes.
    file = api->open_file("slots/file.txt", 0, FILE_OPEN_READ);
    EXPECT_EQ(api->file_changed(&file), 0u);
    u64 written = api->file_time_at_path("slots/file.txt", FILE_TIME_LAST_WRITE);
    EXPECT_NE(written, 0u);
    EXPECT_EQ(api->file_time_of_handle(file.handle, FILE_TIME_LAST_WRITE), written);
    EXPECT_EQ(api->file_size(&file), 10u);
    EXPECT_EQ(api->file_size_at_path("slots/other.txt"), 3u);
    EXPECT_EQ(api->file_size_of_handle(file.handle), 10u);
    api->close_file(&file);

    // 14, 15: delete and move.
    EXPECT_TRUE(api->move_file("slots\\other.txt", "slots\\moved.txt"));
    EXPECT_EQ(read_text("slots\\moved.txt"), "xyz");
    EXPECT_TRUE(api->delete_file("slots\\moved.txt"));
    EXPECT_FALSE(path_present("slots\\moved.txt"));

    // 16: the cursor, in a window of the host's class.
    HWND window = make_host_window(false);
    RECT client;
    GetClientRect(window, &client);
    api->set_cursor_position(5.0f, 7.0f);
    POINT expected = {5, client.bottom - 7};
    ClientToScreen(window, &expected);
    POINT cursor;
    GetCursorPos(&cursor);
    EXPECT_EQ(cursor.x, expected.x);
    EXPECT_EQ(cursor.y, expected.y);
    DestroyWindow(window);

    // 17, 18: the counter and its conversion.
    u64 start = api->get_counter();
    Sleep(20);
    u64 end = api->get_counter();
    f32 seconds = api->seconds_between(start, end);
    EXPECT_GE(seconds, 0.015f);
    EXPECT_LT(seconds, 10.0f);

    // 19, 20: memory.
    memory_block block = api->allocate_memory(64, NULL, MEMORY_GUARD_PAGE);
    ASSERT_NE(block.memory, nullptr);
    memset(block.memory, 1, 64);
    MEMORY_BASIC_INFORMATION info;
    VirtualQuery((u8*)block.memory + 64, &info, sizeof(info));
    EXPECT_EQ(info.Protect, (DWORD)PAGE_NOACCESS);
    api->free_memory(&block);
    VirtualQuery(block.memory, &info, sizeof(info));
    EXPECT_EQ(info.State, (DWORD)MEM_FREE);

    // 21, 22: debugger output and a breakpoint the handler steps over.
    api->debug_print("slot 21");
    void* handler = AddVectoredExceptionHandler(1, resume_after_breakpoint);
    breakpoints_seen = 0;
    api->debug_break();
    RemoveVectoredExceptionHandler(handler);
    EXPECT_EQ(breakpoints_seen, 1u);

    // 23 masks, 24 unmasks.
    api->disable_float_exceptions();
    EXPECT_EQ(_control87(0, 0) & FLOAT_EXCEPTION_MASKS, FLOAT_EXCEPTION_MASKS);
    api->enable_float_exceptions();
    EXPECT_EQ(_control87(0, 0) & FLOAT_EXCEPTION_MASKS, (u32)_EM_INEXACT);
    api->disable_float_exceptions();

    // 25 to 28: the working directory and single directories.
    EXPECT_TRUE(api->make_directory("slots/made"));
    EXPECT_TRUE(api->set_working_directory("slots/made"));
    char directory[MAX_PATH];
    u32 count = api->get_working_directory(directory, sizeof(directory));
    EXPECT_EQ(count, strlen(directory));
    EXPECT_EQ(std::string(directory).substr(count - 11), "/slots/made");
    EXPECT_TRUE(api->set_working_directory("../.."));
    EXPECT_TRUE(api->remove_directory("slots/made"));
    EXPECT_FALSE(path_present("slots\\made"));

    // 29: the last file error, after a failed open.
    api->open_file("slots/missing.txt", 0, FILE_OPEN_READ);
    file_error error = api->last_file_error();
    EXPECT_EQ(error.code, (u64)FILE_ERROR_PATH_NOT_FOUND);
    EXPECT_STREQ(error.message, "path not found");

    scratch_leave(&scratch);
}
