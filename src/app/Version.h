#pragma once

namespace mirava {

constexpr const char* kProgramCaption = "Mirava ver 2.0";
constexpr const char* kVersion = "2.0";
constexpr const char* kProductLine = "Mirava / Rotate Utility ver 2.00";
// The date the about box gives as the program's build.
constexpr int kBuildYear = 2005;
constexpr int kBuildMonth = 11;
constexpr int kBuildDay = 25;
constexpr const char* kSupportMail = "support@mirava.example.org";
constexpr const char* kHomePage = "https://mirava.example.org/";

}  // namespace mirava
