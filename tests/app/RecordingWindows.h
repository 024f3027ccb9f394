// A window interface for tests that only care about the boxes a run shows: each one is recorded
// as "message:", "information:" or "error:" followed by its text; everything else does nothing.
#pragma once

#include <string>
#include <vector>

#include "app/Windows.h"

namespace larkpost {

class TBoxRecordingWindows : public ILpWindows {
public:
    void Run() override {}
    void Terminate() override {}
    void ShowHelp() override {}
    void ShowAbout() override {}
    void ShowMessage(const std::string& t) override { Events.push_back("message:" + t); }
    void ShowInformation(const std::string& t) override { Events.push_back("information:" + t); }
    void ShowError(const std::string& t) override { Events.push_back("error:" + t); }
    bool RevealMainWindow(bool) override { return true; }
    void SetStatusText(const std::string&) override {}
    void SetBusyCursor(bool) override {}
    void OpenWithShell(const std::string&) override {}
    std::vector<std::string> Events;
};

}  // namespace larkpost
