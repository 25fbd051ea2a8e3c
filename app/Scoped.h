// Small owners for Win32 resources that have no ready-made RAII wrapper in mingw.
#pragma once

#include <windows.h>
#include <objbase.h>

// Owns an HKEY; closes it on every way out.
class CScopedKey {
public:
    CScopedKey() = default;
    ~CScopedKey() { Reset(); }
    CScopedKey(const CScopedKey&) = delete;
    CScopedKey& operator=(const CScopedKey&) = delete;

    HKEY Get() const { return key_; }
    bool IsOpen() const { return key_ != nullptr; }
    // For the out-parameter of RegOpenKeyExA / RegCreateKeyExA; releases what was held.
    HKEY* Receive() { Reset(); return &key_; }
    void Reset() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }

private:
    HKEY key_ = nullptr;
};

// Owns a kernel handle (NULL means none); closes it on every way out.
class CScopedHandle {
public:
    CScopedHandle() = default;
    explicit CScopedHandle(HANDLE handle) : handle_(handle) {}
    ~CScopedHandle() { Reset(); }
    CScopedHandle(const CScopedHandle&) = delete;
    CScopedHandle& operator=(const CScopedHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool IsValid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE handle = nullptr) {
        if (IsValid()) CloseHandle(handle_);
        handle_ = handle;
    }
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// Owns an icon that is not shared (LoadImageA without LR_SHARED); destroys it on every way out.
class CScopedIcon {
public:
    CScopedIcon() = default;
    ~CScopedIcon() { Reset(); }
    CScopedIcon(const CScopedIcon&) = delete;
    CScopedIcon& operator=(const CScopedIcon&) = delete;

    HICON Get() const { return icon_; }
    void Reset(HICON icon = nullptr) {
        if (icon_ != nullptr) DestroyIcon(icon_);
        icon_ = icon;
    }

private:
    HICON icon_ = nullptr;
};

// Owns a FindFirstFileA search handle.
class CScopedFind {
public:
    explicit CScopedFind(HANDLE handle) : handle_(handle) {}
    ~CScopedFind() {
        if (IsValid()) FindClose(handle_);
    }
    CScopedFind(const CScopedFind&) = delete;
    CScopedFind& operator=(const CScopedFind&) = delete;

    HANDLE Get() const { return handle_; }
    bool IsValid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// Holds a critical section for the life of the object.
class CCriticalSectionHold {
public:
    explicit CCriticalSectionHold(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~CCriticalSectionHold() { LeaveCriticalSection(&section_); }
    CCriticalSectionHold(const CCriticalSectionHold&) = delete;
    CCriticalSectionHold& operator=(const CCriticalSectionHold&) = delete;

private:
    CRITICAL_SECTION& section_;
};

// Holds a named mutex, created or opened at construction and waited for without
// time-out; released and closed at destruction. If the mutex cannot be created the
// work goes on unlocked, as it must not block the user's install.
class CNamedMutexHold {
public:
    explicit CNamedMutexHold(const char* name) : mutex_(CreateMutexA(nullptr, FALSE, name)) {
        if (mutex_.IsValid()) {
            DWORD wait = WaitForSingleObject(mutex_.Get(), INFINITE);
            // An abandoned mutex is still ours: its last owner died mid-sequence.
            owned_ = (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED);
        }
    }
    ~CNamedMutexHold() {
        if (owned_) ReleaseMutex(mutex_.Get());
    }
    CNamedMutexHold(const CNamedMutexHold&) = delete;
    CNamedMutexHold& operator=(const CNamedMutexHold&) = delete;

private:
    CScopedHandle mutex_;
    bool owned_ = false;
};

// COM on the calling thread for the life of the object.
class CComInitialization {
public:
    CComInitialization() { CoInitialize(nullptr); }
    ~CComInitialization() { CoUninitialize(); }
    CComInitialization(const CComInitialization&) = delete;
    CComInitialization& operator=(const CComInitialization&) = delete;
};
