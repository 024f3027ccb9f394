#include "net/Component.h"

#include "net/Stack.h"

namespace larkpost {

TLpComponent::TLpComponent() {
    TLpStack::IncUsage();
}

TLpComponent::~TLpComponent() {
    TLpStack::DecUsage();
}

std::string TLpComponent::StatusText(TLpStatus status, const std::string& arg) {
    switch (status) {
        case hsResolving:
            return "Resolving hostname " + arg + ".";
        case hsConnecting:
            return "Connecting to " + arg + ".";
        case hsConnected:
            return "Connected.";
        case hsDisconnecting:
            return "Disconnecting.";
        case hsDisconnected:
            return "Disconnected.";
        case hsStatusText:
        case ftpTransfer:
        case ftpReady:
        case ftpAborted:
            return arg;
    }
    return arg;
}

void TLpComponent::ReportStatus(TLpStatus status, const std::string& arg) {
    if (!OnStatus) return;
    OnStatus(this, status, StatusText(status, arg));
}

void TLpComponent::BeginWork(TLpWorkMode mode, int64_t countMax) {
    if (m_workTarget) {
        m_workTarget->BeginWork(mode, countMax);
        return;
    }
    TWorkInfo& info = m_work[mode];
    if (info.level++ > 0) return;
    info.position = 0;
    if (OnWorkBegin) OnWorkBegin(this, mode, countMax);
}

void TLpComponent::AddWork(TLpWorkMode mode, int64_t count) {
    TWorkInfo& info = m_work[mode];
    info.position += count;
    if (OnWork) OnWork(this, mode, info.position);
}

void TLpComponent::EndWork(TLpWorkMode mode) {
    if (m_workTarget) {
        m_workTarget->EndWork(mode);
        return;
    }
    TWorkInfo& info = m_work[mode];
    if (info.level == 0 || --info.level > 0) return;
    if (OnWorkEnd) OnWorkEnd(this, mode);
}

}  // namespace larkpost
