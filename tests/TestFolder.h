#pragma once
// A scratch folder under the test's working directory, removed afterwards; Enter() also makes it the
// process's current directory for tests of code that works relative to it.
#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace tessara {

class TestFolder {
public:
    explicit TestFolder(const std::string& name, const std::wstring& suffix = L"")
        : m_path(std::filesystem::current_path() /
                 (L"scratch-" + std::wstring(name.begin(), name.end()) + suffix + L"-" +
                  std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount()))) {
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~TestFolder() {
        Leave();
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::wstring wpath() const { return m_path.wstring(); }

    void Enter() {
        if (m_previous.empty()) m_previous = std::filesystem::current_path();
        std::filesystem::current_path(m_path);
    }
    void Leave() {
        if (m_previous.empty()) return;
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
        m_previous.clear();
    }

private:
    std::filesystem::path m_path;
    std::filesystem::path m_previous;
};

}  // namespace tessara
