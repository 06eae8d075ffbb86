// Times DeleteFileThroughInitFile on the Windows directory's "wininit.ini"
// with the rename section first, so that the inserted line moves nearly the
// whole file. Prints the time per call and per megabyte for each size; the
// cost per megabyte should stay flat from 1 MB on. Never fails.
#include "restart/DeleteAtRestart.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Size {
    const char* label;
    size_t bytes;
    int runs;
};

const Size kSizes[] = {
    {"1 KB", 1024, 200}, {"1 MB", 1024 * 1024, 20}, {"64 MB", 64 * 1024 * 1024, 3}};

const char kFirstSection[] = "[Rename]\r\nNUL=C:\\OLD\\SETUP.EXE\r\n";

// The rename section, then filler sections of ordinary key lines up to about
// the given size.
std::string InitFileText(size_t bytes) {
    std::string text = kFirstSection;
    text.reserve(bytes + 128);
    for (unsigned section = 0; text.size() < bytes; ++section) {
        text += "[Section" + std::to_string(section) + "]\r\n";
        for (int key = 0; key < 16 && text.size() < bytes; ++key) {
            text += "Key" + std::to_string(key) + "=C:\\Program Files\\Some Vendor\\file" +
                    std::to_string(key) + ".dat\r\n";
        }
    }
    return text;
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok =
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == content.size();
}

std::string ReadHead(const std::string& path, DWORD count) {
    std::string head(count, '\0');
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD read = 0;
    if (file != INVALID_HANDLE_VALUE) {
        ReadFile(file, &head[0], count, &read, nullptr);
        CloseHandle(file);
    }
    head.resize(read);
    return head;
}

DWORD FileLength(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return data.nFileSizeLow;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

} // namespace

int main() {
    char folder[MAX_PATH];
    GetWindowsDirectoryA(folder, MAX_PATH);
    std::string initPath = std::string(folder) + "\\wininit.ini";
    GetTempPathA(MAX_PATH, folder);
    std::string victim = std::string(folder) + "pendreg-bench-victim.exe";
    WriteWholeFile(victim, "x");
    char shortVictim[MAX_PATH];
    GetShortPathNameA(victim.c_str(), shortVictim, MAX_PATH);
    std::string line = std::string("NUL=") + shortVictim + "\r\n";

    std::printf("rename section first, whole file route on %s\n", initPath.c_str());
    std::printf("%-6s %6s %12s %12s %12s  %s\n", "size", "runs", "median ms", "best ms",
                "ms per MB", "check");
    for (const Size& size : kSizes) {
        std::string text = InitFileText(size.bytes);
        std::vector<double> times;
        bool placed = true;
        for (int run = 0; run < size.runs; ++run) {
            if (!WriteWholeFile(initPath, text)) {
                std::printf("%-6s cannot write %s\n", size.label, initPath.c_str());
                placed = false;
                break;
            }
            LARGE_INTEGER start, end;
            QueryPerformanceCounter(&start);
            DeleteFileThroughInitFile(victim.c_str());
            QueryPerformanceCounter(&end);
            times.push_back(Seconds(start, end));
            // The line must have gone right behind the first section's line,
            // and the file grown by exactly the line.
            std::string head = ReadHead(initPath, sizeof(kFirstSection) - 1 + line.size());
            placed = placed && head == kFirstSection + line &&
                     FileLength(initPath) == text.size() + line.size();
        }
        if (times.empty()) {
            continue;
        }
        std::sort(times.begin(), times.end());
        double median = times[times.size() / 2] * 1000.0;
        double megabytes = static_cast<double>(text.size()) / (1024.0 * 1024.0);
        std::printf("%-6s %6d %12.3f %12.3f %12.3f  %s\n", size.label, size.runs, median,
                    times.front() * 1000.0, median / megabytes,
                    placed ? "line in place" : "LINE NOT WHERE EXPECTED");
    }
    DeleteFileA(initPath.c_str());
    DeleteFileA(victim.c_str());
    return 0;
}
