#include <cstdint>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "codesign/CodeResources.h"

namespace velmora::codesign {

namespace {

// Links the kernel follows in one lookup before it gives up (ELOOP).
constexpr int kMaxExpansions = 40;

// The listing as a tree of components. Every link is resolved once and its outcome kept, so a link
// that others lead through is not walked again: crafted chains cost their length, not its square.
class LinkResolver {
  public:
    explicit LinkResolver(const std::vector<ResourceEntry>& entries) {
        nodes_.push_back(Node{});
        for (const auto& entry : entries) {
            size_t node = 0;
            forEachComponent(entry.path, [&](std::string_view part) {
                auto [found, added] = children_.try_emplace({node, part}, nodes_.size());
                if (added) nodes_.push_back(Node{node});
                node = found->second;
            });
            if (entry.type == ResourceEntry::Type::link) nodes_[node].target = &entry.payload;
        }
    }

    // The link at `path` leaves the bundle.
    bool escapes(std::string_view path) {
        size_t node = 0;
        forEachComponent(path, [&](std::string_view part) { node = children_.at({node, part}); });
        return resolve(node, 0) != Walk::inside;
    }

  private:
    enum class State : std::uint8_t { unknown, resolving, inside, outside };
    enum class Walk { inside, outside, tooDeep };
    // A place below the top: a node of the tree and how many components that exist nowhere in the
    // listing follow it (".." takes those back first, as a lexical walk would).
    struct Position {
        size_t node = 0;
        size_t beyond = 0;
    };
    struct Node {
        size_t parent = 0;
        const std::string* target = nullptr;  // a link's
        State state = State::unknown;
        Position resolved;
        int expansions = 0;  // links followed to resolve it, this one included
    };

    template <class Visit>
    static void forEachComponent(std::string_view path, Visit&& visit) {
        for (size_t start = 0; start <= path.size();) {
            size_t slash = path.find('/', start);
            if (slash == std::string_view::npos) slash = path.size();
            std::string_view part = path.substr(start, slash - start);
            if (!part.empty() && part != ".") visit(part);
            start = slash + 1;
        }
    }

    // Nested deeper than the kernel's limit: given up without keeping an outcome for the links on the
    // way, which may resolve on their own.
    Walk resolve(size_t link, int depth) {
        switch (nodes_[link].state) {
            case State::inside:
                return Walk::inside;
            case State::outside:
            case State::resolving:  // a loop: the kernel gives up on it
                return Walk::outside;
            case State::unknown:
                break;
        }
        if (depth > kMaxExpansions) return Walk::tooDeep;
        nodes_[link].state = State::resolving;
        Position at{nodes_[link].parent, 0};
        int expansions = 1;
        Walk walked = walk(at, *nodes_[link].target, expansions, depth);
        Node& node = nodes_[link];
        if (walked == Walk::tooDeep) {
            node.state = State::unknown;
            return walked;
        }
        node.state = walked == Walk::inside ? State::inside : State::outside;
        node.resolved = at;
        node.expansions = expansions;
        return walked;
    }

    Walk walk(Position& at, std::string_view target, int& expansions, int depth) {
        if (target.starts_with('/')) return Walk::outside;
        Walk result = Walk::inside;
        forEachComponent(target, [&](std::string_view part) {
            if (result != Walk::inside) return;
            if (part == "..") {
                if (at.beyond > 0)
                    --at.beyond;
                else if (at.node == 0)
                    result = Walk::outside;
                else
                    at.node = nodes_[at.node].parent;
                return;
            }
            if (at.beyond > 0) {
                ++at.beyond;
                return;
            }
            auto child = children_.find({at.node, part});
            if (child == children_.end()) {
                at.beyond = 1;
                return;
            }
            if (nodes_[child->second].target == nullptr) {
                at.node = child->second;
                return;
            }
            result = resolve(child->second, depth + 1);
            if (result != Walk::inside) return;
            expansions += nodes_[child->second].expansions;
            if (expansions > kMaxExpansions) result = Walk::outside;
            at = nodes_[child->second].resolved;
        });
        return result;
    }

    std::vector<Node> nodes_;  // [0] is the bundle's top
    std::map<std::pair<size_t, std::string_view>, size_t> children_;
};

}  // namespace

tl::expected<void, CodeSignError> findEscapingLink(const std::vector<ResourceEntry>& entries) {
    LinkResolver resolver(entries);
    for (const auto& entry : entries)
        if (entry.type == ResourceEntry::Type::link && resolver.escapes(entry.path))
            return tl::unexpected(CodeSignError{Status::linkLeavesBundle,
                                                "The link \"" + entry.path + "\" leads outside the bundle."});
    return {};
}

}  // namespace velmora::codesign
