#include "mail/MIMEBoundary.h"

#include <mutex>

#include "platform/Random.h"

namespace larkpost {
namespace {

struct BoundarySourceState {
    std::mutex lock;
    TLpMIMEBoundaryStrings::TBoundarySource source;
};

BoundarySourceState& SourceState() {
    static BoundarySourceState state;
    return state;
}

// 1..62 mapped onto "0".."9", "A".."Z", "a".."z".
char RandomBoundaryChar() {
    const int n = static_cast<int>(RandomReal() * 61 + 1.5);
    int c = n + 47;
    if (c > 83)
        c += 13;
    else if (c > 57)
        c += 7;
    return static_cast<char>(c);
}

}  // namespace

void TLpMIMEBoundary::PushBoundary(const std::string& boundary, int parentIndex) {
    m_boundaries.insert(m_boundaries.begin(), boundary);
    m_parentIndices.insert(m_parentIndices.begin(), parentIndex);
}

void TLpMIMEBoundary::PopBoundary() {
    if (m_boundaries.empty()) return;
    m_boundaries.erase(m_boundaries.begin());
    m_parentIndices.erase(m_parentIndices.begin());
}

void TLpMIMEBoundary::ClearBoundaries() {
    m_boundaries.clear();
    m_parentIndices.clear();
}

std::string TLpMIMEBoundary::CurrentBoundary() const {
    return m_boundaries.empty() ? std::string() : m_boundaries.front();
}

int TLpMIMEBoundary::CurrentParentIndex() const {
    return m_parentIndices.empty() ? -1 : m_parentIndices.front();
}

std::string TLpMIMEBoundaryStrings::NewBoundary() {
    {
        BoundarySourceState& state = SourceState();
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.source) return state.source();
    }
    std::string boundary(34, '0');
    for (char& c : boundary) c = RandomBoundaryChar();
    const int k = static_cast<int>(RandomReal() * 32 + 1.5);  // 1..33, counted from 1
    boundary[static_cast<size_t>(k - 1)] = '=';
    boundary[static_cast<size_t>(k)] = '_';
    return boundary;
}

void TLpMIMEBoundaryStrings::SetBoundarySource(TBoundarySource source) {
    BoundarySourceState& state = SourceState();
    std::lock_guard<std::mutex> guard(state.lock);
    state.source = std::move(source);
}

}  // namespace larkpost
