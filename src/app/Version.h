#pragma once

namespace mirava {

constexpr const char* kProgramCaption = "Mirava ver 2.0";
constexpr const char* kVersion = "2.0";

}  // namespace mirava
