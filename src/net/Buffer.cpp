#include "net/Buffer.h"

#include <cstring>

#include "net/Exceptions.h"
#include "net/Stack.h"

namespace larkpost {

namespace {
// Storage beyond the queue's capacity is kept (so a connection does not reallocate for every
// chunk) up to this much; past it the storage follows the capacity.
constexpr size_t kKeptStorage = 1 << 20;
}  // namespace

TLpBuffer::TLpBuffer(int growthFactor) : m_growthFactor(growthFactor) {
    TLpStack::IncUsage();
}

TLpBuffer::~TLpBuffer() {
    TLpStack::DecUsage();
}

uint8_t* TLpBuffer::PrepareAppend(int count) {
    if (static_cast<int64_t>(m_headIndex) + m_size + count > 2147483647LL)
        throw ELpTooMuchDataInBuffer("Too much data in buffer.");
    if (m_size == 0) {
        m_headIndex = 0;
        m_capacity = count;
    } else {
        if (m_headIndex > 0) {
            std::memmove(m_bytes.data(), m_bytes.data() + m_headIndex, m_size);
            m_headIndex = 0;
        }
        if (m_capacity - m_size < count) m_capacity = m_size + count + m_growthFactor;
    }
    if (m_bytes.size() < static_cast<size_t>(m_capacity)) {
        // Growing the vector itself reserves room for a few more chunks at once.
        m_bytes.resize(m_capacity);
    }
    return m_bytes.data() + m_size;
}

void TLpBuffer::CommitAppend(int count) {
    if (count > 0) m_size += count;
}

void TLpBuffer::Append(const uint8_t* data, int count) {
    if (count <= 0) return;
    uint8_t* target = PrepareAppend(count);
    std::memcpy(target, data, count);
    CommitAppend(count);
}

int TLpBuffer::Find(const uint8_t* sequence, int length, int start) const {
    if (m_size == 0) return -1;
    if (length <= 0) throw ELpException("Buffer terminator must be specified.");
    if (start < 0 || start >= m_size) throw ELpException("Buffer start position is invalid.");
    const uint8_t* base = Data();
    const uint8_t* p = base + start;
    const uint8_t* end = base + m_size;
    while (end - p >= length) {
        const void* hit = std::memchr(p, sequence[0], (end - p) - length + 1);
        if (!hit) return -1;
        const auto* h = static_cast<const uint8_t*>(hit);
        if (length == 1 || std::memcmp(h + 1, sequence + 1, length - 1) == 0)
            return static_cast<int>(h - base);
        p = h + 1;
    }
    return -1;
}

void TLpBuffer::CheckExtract(int count) const {
    if (count > m_size)
        throw ELpNotEnoughDataInBuffer("Not enough data in buffer. (" + std::to_string(count) +
                                       "/" + std::to_string(m_size) + ")");
}

void TLpBuffer::ExtractToBytes(TLpBytes& destination, int count) {
    if (count < 0) count = m_size;
    CheckExtract(count);
    destination.insert(destination.end(), Data(), Data() + count);
    Remove(count);
}

std::string TLpBuffer::Extract(int count, const TLpTextEncodingPtr& encoding) {
    if (count < 0) count = m_size;
    CheckExtract(count);
    const ILpTextEncoding* enc = encoding ? encoding.get() : m_encoding.get();
    TLpTextEncodingPtr fallback;
    if (!enc) {
        fallback = ASCIIEncoding();
        enc = fallback.get();
    }
    std::string text = enc->GetString(Data(), count);
    Remove(count);
    return text;
}

void TLpBuffer::RemoveSlow(int count) {
    if (count <= 0) return;
    if (count >= m_size) {
        Clear();
    } else {
        m_headIndex += count;
        m_size -= count;
        // Consumed bytes accumulate at the front; they are dropped once there are more than the
        // growth factor of them and the unread rest is small, so a move never costs more than
        // the bytes consumed before it (appends move the unread bytes to the front anyway).
        if (m_headIndex > m_growthFactor && m_size <= m_growthFactor) {
            std::memmove(m_bytes.data(), m_bytes.data() + m_headIndex, m_size);
            m_headIndex = 0;
            if (m_capacity - m_size > m_growthFactor) m_capacity = m_size + m_growthFactor;
            if (m_bytes.size() > kKeptStorage && m_bytes.size() > 2 * size_t(m_capacity)) {
                m_bytes.resize(m_capacity);
                m_bytes.shrink_to_fit();
            }
        }
    }
    if (OnBytesRemoved) OnBytesRemoved(this, count);
}

void TLpBuffer::Clear() {
    m_headIndex = 0;
    m_size = 0;
    m_capacity = 0;
    if (m_bytes.size() > kKeptStorage) {
        m_bytes.clear();
        m_bytes.shrink_to_fit();
    }
}

}  // namespace larkpost
