// The growable byte queue behind the I/O handler's input and write buffers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/TextEncoding.h"
#include "platform/Bytes.h"

namespace larkpost {

class TLpBuffer {
public:
    explicit TLpBuffer(int growthFactor = 2048);
    ~TLpBuffer();
    TLpBuffer(const TLpBuffer&) = delete;
    TLpBuffer& operator=(const TLpBuffer&) = delete;

    int Size() const noexcept { return m_size; }
    int HeadIndex() const noexcept { return m_headIndex; }
    int Capacity() const noexcept { return m_capacity; }
    int GrowthFactor() const noexcept { return m_growthFactor; }
    // The first unread byte (valid for Size() bytes, until the next change).
    const uint8_t* Data() const noexcept { return m_bytes.data() + m_headIndex; }
    uint8_t Peek(int index) const { return m_bytes[m_headIndex + index]; }

    // Raises ELpTooMuchDataInBuffer "Too much data in buffer." past 2147483647 bytes.
    void Append(const uint8_t* data, int count);
    void Append(const TLpBytes& bytes) { Append(bytes.data(), static_cast<int>(bytes.size())); }
    // Room for count bytes after the unread ones, to receive into directly; CommitAppend then
    // adds the number actually written.
    uint8_t* PrepareAppend(int count);
    void CommitAppend(int count);

    // Position relative to the head, or -1. Raises "Buffer terminator must be specified." for
    // an empty sequence and "Buffer start position is invalid." for a start outside the data.
    int Find(const uint8_t* sequence, int length, int start = 0) const;
    int Find(const TLpBytes& sequence, int start = 0) const {
        return Find(sequence.data(), static_cast<int>(sequence.size()), start);
    }

    // count -1: all. Appends to destination and removes. Raises ELpNotEnoughDataInBuffer.
    void ExtractToBytes(TLpBytes& destination, int count = -1);
    std::string Extract(int count = -1, const TLpTextEncodingPtr& encoding = nullptr);
    void Remove(int count) {
        // Most removals only move the head; the rest (emptying, compacting, notifying) is out
        // of line.
        if (count > 0 && count < m_size && !OnBytesRemoved) {
            int head = m_headIndex + count;
            int size = m_size - count;
            if (head <= m_growthFactor || size > m_growthFactor) {
                m_headIndex = head;
                m_size = size;
                return;
            }
        }
        RemoveSlow(count);
    }
    void Clear();

    const TLpTextEncodingPtr& DefaultEncoding() const noexcept { return m_encoding; }
    void SetDefaultEncoding(TLpTextEncodingPtr encoding) { m_encoding = std::move(encoding); }

    // Fired with the count after every removal.
    std::function<void(TLpBuffer* ASender, int ACount)> OnBytesRemoved;

private:
    void CheckExtract(int count) const;
    void RemoveSlow(int count);

    std::vector<uint8_t> m_bytes;
    int m_headIndex = 0;
    int m_size = 0;
    // The capacity as the queue sees it; the vector may keep more storage to avoid reallocating.
    int m_capacity = 0;
    int m_growthFactor;
    TLpTextEncodingPtr m_encoding;
};

}  // namespace larkpost
