// The sim's port under a path of the user's choosing (--link): a symbolic
// link made when the port is there, and removed when it goes (at exit, or
// while a vanished device is away).
#ifndef KESTRIN_TOOL_SIM_LINK_H
#define KESTRIN_TOOL_SIM_LINK_H

#include <string>

namespace kestrin::sim {

class PortLink {
public:
    // No link for an empty path. Otherwise the path must be free: nothing
    // there, or a link to a pseudo-terminal that is gone (what a killed sim
    // leaves behind). Anything else is a usage Error, and is left as it is.
    explicit PortLink(std::string path);
    ~PortLink() { remove(); }
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    // Links the path to `port`. Throws Error when it cannot, or when the
    // path was taken meanwhile.
    void point(const std::string& port);

    // Removes the link, if it is still the one made here.
    void remove() noexcept;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string target_;
};

} // namespace kestrin::sim

#endif
