// Captures this process's debugger output (the program's log) inside a test.
// OutputDebugStringA raises DBG_PRINTEXCEPTION_C; a vectored handler sees the whole
// text before the platform's own handling, with nothing cut.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

class CLogCapture {
public:
    CLogCapture() {
        std::lock_guard<std::mutex> hold(Mutex());
        Stream().clear();
        handler_ = AddVectoredExceptionHandler(1, &CLogCapture::Handler);
    }
    ~CLogCapture() { RemoveVectoredExceptionHandler(handler_); }
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    // Log lines: everything written, split at the "\r\n" that ends every line.
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> hold(Mutex());
        std::vector<std::string> lines;
        const std::string& text = Stream();
        size_t start = 0;
        for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
            lines.push_back(text.substr(start, end - start));
        if (start < text.size()) lines.push_back(text.substr(start));
        return lines;
    }

    std::string Text() const {
        std::lock_guard<std::mutex> hold(Mutex());
        return Stream();
    }

    bool Contains(const std::string& needle) const { return Text().find(needle) != std::string::npos; }

private:
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::string& Stream() {
        static std::string stream;
        return stream;
    }
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* pointers) {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
            const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            size_t length = strnlen(text, static_cast<size_t>(record->ExceptionInformation[0]));
            std::lock_guard<std::mutex> hold(Mutex());
            Stream().append(text, length);
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    PVOID handler_ = nullptr;
};
