#include "codesign/CodeSignStatus.h"

namespace velmora::codesign {

std::string bundleUnreadableText(Status status) {
    return "The bundle could not be read for verification (" + std::to_string(number(status)) + ").";
}

std::string requirementUnbuildableText(Status status) {
    return "The signing requirement could not be built (" + std::to_string(number(status)) + ").";
}

std::string requirementUnsatisfiedText(Status status) {
    return "The signature does not satisfy the Velmora Helper requirement (" +
           std::to_string(number(status)) + ").";
}

}  // namespace velmora::codesign
