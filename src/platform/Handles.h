// Handle tables: numeric handles that stand for shared objects.
//
// A handle value is never given out twice while the process runs (and never 0), so a
// closed handle can never act on an object opened later by another thread, even though
// the underlying descriptor numbers are reused at once by the kernel. An object lives as
// long as its handle is open or an operation in progress holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/WinTypes.h"

namespace win {

// Next handle value of the process; shared by every table so that no two objects of any
// kind have the same value. Thread-safe.
std::uint32_t NextHandleValue();

template <class T>
class CHandleTable {
public:
    // Any thread. Registers `p` and returns its new handle.
    std::uint32_t Insert(std::shared_ptr<T> p) {
        std::lock_guard lock(m_mutex);
        std::uint32_t h = NextHandleValue();
        while (m_map.count(h) != 0) {
            h = NextHandleValue();
        }
        m_map.emplace(h, std::move(p));
        return h;
    }

    // Any thread. The object of `h`, or null for a handle that is not open.
    std::shared_ptr<T> Find(std::uint32_t h) const {
        std::lock_guard lock(m_mutex);
        auto it = m_map.find(h);
        return it == m_map.end() ? nullptr : it->second;
    }

    // Any thread. Closes the handle and returns its object (null when it was not open).
    std::shared_ptr<T> Remove(std::uint32_t h) {
        std::lock_guard lock(m_mutex);
        auto it = m_map.find(h);
        if (it == m_map.end()) {
            return nullptr;
        }
        std::shared_ptr<T> p = std::move(it->second);
        m_map.erase(it);
        return p;
    }

    std::size_t Count() const {
        std::lock_guard lock(m_mutex);
        return m_map.size();
    }

private:
    mutable std::mutex m_mutex;
    std::unordered_map<std::uint32_t, std::shared_ptr<T>> m_map;
};

// Base of every object behind a kernel HANDLE (threads, events, files).
class CKernelObject {
public:
    virtual ~CKernelObject() = default;
};

// The process's table of kernel handles.
CHandleTable<CKernelObject>& KernelHandles();

// Any thread. The object of `h` if it is open and of type T, else null.
template <class T>
std::shared_ptr<T> FindKernelObject(HANDLE h) {
    return std::dynamic_pointer_cast<T>(KernelHandles().Find(h));
}

}  // namespace win
