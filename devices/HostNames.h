// Forward-confirmed reverse look-ups of box and owner addresses.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>

// The time host-name look-ups may take within one search. A resolver query cannot be cut
// short (it lasts until the resolver gives up), so one starts only while the budget still
// holds the slowest one; once it does not, none does, and the look-up fails as if the
// resolver knew no name.
class CLookupBudget {
public:
    CLookupBudget(ULONGLONG budgetMs, ULONGLONG slowestQueryMs)
        : deadline_(GetTickCount64() + budgetMs), slowestQueryMs_(slowestQueryMs) {}

    bool MayStart() {
        if (GetTickCount64() + slowestQueryMs_ > deadline_) spent_ = true;
        return !spent_;
    }
    bool Spent() const { return spent_; }

private:
    ULONGLONG deadline_;
    ULONGLONG slowestQueryMs_;
    bool spent_ = false;
};

// Host name of a box address into `result` (80 characters); false leaves `result` untouched.
bool TryGetZentrovaHostName(const char* address, char* result, CLookupBudget& budget);
// Host name of an owner address into `result`, bounded by 80 characters whatever `size` says.
bool TryGetOwnerHostName(char* result, size_t size, const char* address, CLookupBudget& budget);
