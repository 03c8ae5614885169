#pragma once

#include <string>
#include <tl/expected.hpp>

namespace velmora::platform {

// A shared library opened at run time, for code that only some requests need: linking it would make
// every start pay for loading it and everything it depends on. Move-only; closes the handle last.
class SharedLibrary {
  public:
    // dlopen with RTLD_NOW | RTLD_LOCAL by soname ("libcurl.so.4"). The error names the library and
    // says why the loader refused it.
    [[nodiscard]] static tl::expected<SharedLibrary, std::string> open(const std::string& soname);

    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;
    ~SharedLibrary();

    // Points `slot` at the function `name` (its type taken from the library's own declaration); the
    // error says which function the library lacks.
    template <typename Function>
    [[nodiscard]] tl::expected<void, std::string> bind(Function*& slot, const char* name) const {
        void* address = lookup(name);
        if (address == nullptr) return tl::unexpected(soname_ + " has no function " + name + ".");
        slot = reinterpret_cast<Function*>(address);
        return {};
    }

    [[nodiscard]] const std::string& soname() const { return soname_; }

    // Opens `soname` and fills a table of its functions: `bindAll(table, bind)` calls
    // `bind(table.member, "name")` for each member. The library is then kept for the process's life,
    // like the table that points into it; the first function it lacks is the error.
    template <typename Table, typename BindAll>
    [[nodiscard]] static tl::expected<Table, std::string> loadTable(const std::string& soname,
                                                                    BindAll bindAll) {
        auto library = open(soname);
        if (!library) return tl::unexpected(library.error());
        Table table;
        tl::expected<void, std::string> bound;
        auto bind = [&](auto& slot, const char* name) {
            if (bound) bound = library->bind(slot, name);
        };
        bindAll(table, bind);
        if (!bound) return tl::unexpected(bound.error());
        // One per table type, each loaded once; never closed.
        static const auto* kept = new SharedLibrary(std::move(*library));
        (void)kept;
        return table;
    }

  private:
    SharedLibrary(void* handle, std::string soname) : handle_(handle), soname_(std::move(soname)) {}
    [[nodiscard]] void* lookup(const char* name) const;

    void* handle_ = nullptr;
    std::string soname_;
};

}  // namespace velmora::platform
