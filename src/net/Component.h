// The base of every transport and protocol component: the status event and its texts, and the
// usage count that keeps the sockets layer alive while any component exists.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace larkpost {

enum TLpStatus {
    hsResolving = 0,
    hsConnecting = 1,
    hsConnected = 2,
    hsDisconnecting = 3,
    hsDisconnected = 4,
    hsStatusText = 5,
    ftpTransfer = 6,
    ftpReady = 7,
    ftpAborted = 8,
};

class TLpBaseComponent;
class TLpComponent;

enum TLpWorkMode { wmRead = 0, wmWrite = 1 };

using TLpStatusEvent =
    std::function<void(TLpComponent* ASender, TLpStatus AStatus, const std::string& AStatusText)>;
using TLpNotifyEvent = std::function<void(TLpBaseComponent* ASender)>;
// Progress of a piece of work: begun with the expected byte count (0 when unknown), then the
// running count, then its end.
using TLpWorkBeginEvent =
    std::function<void(TLpComponent* ASender, TLpWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TLpWorkEvent =
    std::function<void(TLpComponent* ASender, TLpWorkMode AWorkMode, int64_t AWorkCount)>;
using TLpWorkEndEvent = std::function<void(TLpComponent* ASender, TLpWorkMode AWorkMode)>;

class TLpBaseComponent {
public:
    TLpBaseComponent() = default;
    virtual ~TLpBaseComponent() = default;
    TLpBaseComponent(const TLpBaseComponent&) = delete;
    TLpBaseComponent& operator=(const TLpBaseComponent&) = delete;
};

class TLpComponent : public TLpBaseComponent {
public:
    TLpComponent();
    ~TLpComponent() override;

    TLpStatusEvent OnStatus;

    // The text ReportStatus hands to OnStatus: "Resolving hostname %s.", "Connected.", ...
    static std::string StatusText(TLpStatus status, const std::string& arg = std::string());

    // Formats the status text and calls OnStatus with this component as sender; nothing happens
    // when no handler is assigned.
    void ReportStatus(TLpStatus status, const std::string& arg = std::string());

    // ---- Work progress ----------------------------------------------------------------------
    // Nested begins count as one piece of work: OnWorkBegin fires at the outermost begin (the
    // running count starts at 0), OnWorkEnd at the matching end. DoWork adds to the running
    // count and fires OnWork, only while work of that mode is begun. A component with a work
    // target (an I/O handler, whose target is the connection owning it) passes all three on.
    void BeginWork(TLpWorkMode mode, int64_t countMax = 0);
    void DoWork(TLpWorkMode mode, int64_t count) {
        if (m_workTarget) {
            m_workTarget->DoWork(mode, count);
            return;
        }
        // The write path calls this for every chunk: nothing beyond a test when nobody listens.
        if (m_work[mode].level > 0) AddWork(mode, count);
    }
    void EndWork(TLpWorkMode mode);
    TLpComponent* WorkTarget() const noexcept { return m_workTarget; }
    void SetWorkTarget(TLpComponent* target) noexcept { m_workTarget = target; }

    TLpWorkBeginEvent OnWorkBegin;
    TLpWorkEvent OnWork;
    TLpWorkEndEvent OnWorkEnd;

private:
    void AddWork(TLpWorkMode mode, int64_t count);

    struct TWorkInfo {
        int level = 0;
        int64_t position = 0;
    };
    TWorkInfo m_work[2];
    TLpComponent* m_workTarget = nullptr;
};

}  // namespace larkpost
