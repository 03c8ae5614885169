#pragma once

// The code-signing requirement language, as far as the product's two requirement texts use it:
//
//   expression  := conjunction ("or" conjunction)*
//   conjunction := primary ("and" primary)*
//   primary     := "(" expression ")"
//                | "anchor" "apple" "generic"          the chain ends at a trusted anchor
//                | "identifier" STRING                 the signing identifier
//                | "certificate" SLOT "[" KEY "]" [ "exists" | "=" STRING ]
//   SLOT        := "leaf" | "root" | a decimal index (0 is the leaf, counting towards the anchor)
//   KEY         := "subject." ATTRIBUTE (OU, CN, O, … or a dotted OID) | "field." DOTTED-OID
//
// A certificate clause without a comparison asks whether the key exists. `field.` keys test for an
// extension and take no "=". Strings are in double quotes, with \" and \\ as escapes.

#include <memory>
#include <string_view>
#include <tl/expected.hpp>

#include "codesign/CodeSignStatus.h"
#include "codesign/CodeSignature.h"

namespace velmora::codesign {

class Requirement {
  public:
    // Fails with Status::requirementInvalid and a description of where the text stops making sense.
    [[nodiscard]] static tl::expected<Requirement, CodeSignError> parse(std::string_view text);

    // True when the signature satisfies the requirement. Every chain that reaches this point was
    // verified up to a trusted anchor, so "anchor apple generic" holds for it.
    [[nodiscard]] bool isSatisfiedBy(const SigningInfo& signing) const;

    struct Node;

  private:
    explicit Requirement(std::shared_ptr<const Node> root) : root_(std::move(root)) {}
    std::shared_ptr<const Node> root_;
};

}  // namespace velmora::codesign
