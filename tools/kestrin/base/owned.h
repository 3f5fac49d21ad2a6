// The one owner of system handles: a descriptor, a HANDLE, a loaded module,
// a device list. Closed when its owner goes; moving hands it on.
#ifndef KESTRIN_TOOL_BASE_OWNED_H
#define KESTRIN_TOOL_BASE_OWNED_H

#include <utility>

namespace kestrin {

// `Traits` names what an empty owner holds and how a handle is closed:
//   struct Traits {
//       static Handle none() noexcept;
//       static void close(Handle) noexcept;
//   };
template <typename Traits>
class Owned {
public:
    using Handle = decltype(Traits::none());

    Owned() noexcept = default;
    explicit Owned(Handle handle) noexcept : handle_(handle) {}
    ~Owned() { reset(); }
    Owned(Owned&& other) noexcept : handle_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::none(); }

    // Lets go without closing.
    Handle release() noexcept { return std::exchange(handle_, Traits::none()); }

    // Closes what it holds, then holds `handle`.
    void reset(Handle handle = Traits::none()) noexcept
    {
        const Handle old = std::exchange(handle_, handle);
        if (old != Traits::none()) {
            Traits::close(old);
        }
    }

private:
    Handle handle_ = Traits::none();
};

} // namespace kestrin

#endif
