// MIME multipart boundaries (RFC 2046 section 5.1.1): the stack of open boundaries of a message
// being written, and the generator of fresh ones.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace larkpost {

// Open boundaries, innermost first, each with the index of the part it belongs to (-1: the
// message itself).
class TLpMIMEBoundary {
public:
    void PushBoundary(const std::string& boundary, int parentIndex);
    // Removes the innermost boundary; an empty stack stays empty.
    void PopBoundary();
    void ClearBoundaries();

    // Empty when the stack is empty.
    std::string CurrentBoundary() const;
    // -1 when the stack is empty.
    int CurrentParentIndex() const;
    int BoundaryCount() const { return static_cast<int>(m_boundaries.size()); }

private:
    // Front is the innermost; the stack stays small, so inserting at the front costs nothing.
    std::vector<std::string> m_boundaries;
    std::vector<int> m_parentIndices;
};

class TLpMIMEBoundaryStrings {
public:
    // 34 characters: 32 ASCII letters and digits drawn from the process-wide random generator,
    // and one "=_" pair at a random position. The "=" makes sure no base64 or quoted-printable
    // line can ever equal the boundary.
    static std::string NewBoundary();

    // Tests make boundaries predictable with a source of their own; an empty function restores
    // the generator.
    using TBoundarySource = std::function<std::string()>;
    static void SetBoundarySource(TBoundarySource source);
};

}  // namespace larkpost
