// Signs bundles and checks their signatures.
//
//   velmora-codesign sign [--identifier ID] [--key KEY.pem --chain CHAIN.pem] BUNDLE
//   velmora-codesign verify [--requirement TEXT] BUNDLE
//
// sign seals every item of the bundle and signs the seal; without --identifier it takes the bundle's
// CFBundleIdentifier, and without --key/--chain the build's signing identity. verify exits 0 when the
// signature holds (and satisfies the requirement, when one is given), else 1 with the reason on
// standard error. Usage errors exit 64.

#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "codesign/CodeSignature.h"
#include "codesign/Requirement.h"
#include "codesign/StaticCode.h"

namespace {

namespace fs = std::filesystem;
using namespace velmora::codesign;

constexpr int kUsage = 64;

int usage() {
    std::cerr << "usage: velmora-codesign sign [--identifier ID] [--key KEY.pem --chain CHAIN.pem] BUNDLE\n"
                 "       velmora-codesign verify [--requirement TEXT] BUNDLE\n";
    return kUsage;
}

std::optional<std::string> bundleIdentifier(const fs::path& bundle) {
    std::ifstream file(bundle / "Contents" / "Info.plist", std::ios::binary);
    if (!file) return std::nullopt;
    std::stringstream bytes;
    bytes << file.rdbuf();
    std::string data = bytes.str();
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    if (root == nullptr) return std::nullopt;
    std::optional<std::string> identifier;
    if (plist_t node = plist_dict_get_item(root, "CFBundleIdentifier");
        node != nullptr && plist_get_node_type(node) == PLIST_STRING) {
        char* text = nullptr;
        plist_get_string_val(node, &text);
        if (text != nullptr) identifier = text;
        std::free(text);
    }
    plist_free(root);
    return identifier;
}

struct Arguments {
    std::string command;
    std::optional<std::string> identifier, key, chain, requirement;
    std::optional<fs::path> bundle;
};

std::optional<Arguments> parse(int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    Arguments arguments{argv[1], {}, {}, {}, {}, {}};
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        auto value = [&](std::optional<std::string>& into) {
            if (i + 1 >= argc || into) return false;
            into = argv[++i];
            return true;
        };
        bool ok = true;
        if (word == "--identifier" && arguments.command == "sign")
            ok = value(arguments.identifier);
        else if (word == "--key" && arguments.command == "sign")
            ok = value(arguments.key);
        else if (word == "--chain" && arguments.command == "sign")
            ok = value(arguments.chain);
        else if (word == "--requirement" && arguments.command == "verify")
            ok = value(arguments.requirement);
        else if (!word.starts_with("--") && !arguments.bundle)
            arguments.bundle = word;
        else
            ok = false;
        if (!ok) return std::nullopt;
    }
    if (!arguments.bundle || arguments.key.has_value() != arguments.chain.has_value()) return std::nullopt;
    return arguments;
}

int sign(const Arguments& arguments) {
    auto identifier = arguments.identifier ? arguments.identifier : bundleIdentifier(*arguments.bundle);
    if (!identifier) {
        std::cerr << "velmora-codesign: " << arguments.bundle->string()
                  << " has no CFBundleIdentifier in Contents/Info.plist; give --identifier\n";
        return 1;
    }
    auto signed_ = signBundle(*arguments.bundle, *identifier, arguments.key.value_or(VELMORA_SIGNING_KEY),
                              arguments.chain.value_or(VELMORA_SIGNING_CHAIN));
    if (!signed_) {
        std::cerr << "velmora-codesign: " << signed_.error().description << "\n";
        return 1;
    }
    return 0;
}

int verify(const Arguments& arguments) {
    // Without a requirement, only the signature's own checks apply: they already demand a trusted anchor.
    auto checked = checkValidity(*arguments.bundle, arguments.requirement.value_or("anchor apple generic"));
    if (!checked) {
        std::cerr << arguments.bundle->string() << ": " << checked.error() << "\n";
        return 1;
    }
    const auto& signing = (*checked)->signing;
    std::cout << arguments.bundle->string() << ": valid, identifier " << signing.identifier
              << ", signed by \"" << commonName(signing.chain.front().get()) << "\"\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    auto arguments = parse(argc, argv);
    if (!arguments) return usage();
    if (arguments->command == "sign") return sign(*arguments);
    if (arguments->command == "verify") return verify(*arguments);
    return usage();
}
