// The web addresses the windows open, kept in one place, and the one way they are opened.
#pragma once

#include <QUrl>
#include <functional>

namespace larkpost {

inline constexpr const char* kWebSiteUrl = "https://larkpost.example.org/";
inline constexpr const char* kDonationUrl = "https://larkpost.example.org/donate";

// Asks the desktop to open a web address or a file in its default application. Tests replace it
// so that nothing is launched; failures of the desktop are not reported, as with any shell open.
extern std::function<void(const QUrl&)> OpenWithDesktop;

}  // namespace larkpost
