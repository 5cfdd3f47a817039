// The presence check, DropPresentEntries, and its index: what the slots of each
// catalogue share, a word of four characters per slot, and which first
// characters can begin a slot at all, so that most lines are passed at a glance.
#include "inf/presence.h"
#include "inf/sourceline.h"

static_assert((int)MOST_SLOT_TEXT < (int)HEAD_SIZE, "a line keeps the whole compared start of its trimmed text");

namespace {

// Four characters from `text`, folded, in one word: equal words for texts
// that are equal with case ignored.
DWORD Signature(const char *text)
{
    return (DWORD)(BYTE)Folded(text[0]) | (DWORD)(BYTE)Folded(text[1]) << 8 | (DWORD)(BYTE)Folded(text[2]) << 16 |
           (DWORD)(BYTE)Folded(text[3]) << 24;
}

// What the presence check knows of one catalogue before it reads a line. Its
// slots share a long start ("ExcludeFromSelect=PCI\VEN_"), so a line is held
// against that start once, and against each slot only beyond it: first by the
// four characters that follow the start, packed in a word (the signature),
// then in full. The start is kept as a reference slot and its first
// character, since blanking may clear that slot's first byte.
struct CatalogueDigest {
    LPCSTR reference;
    char first;
    DWORD shared;                 // characters that every non-blank slot shares; 0: none
    bool anyUnsigned;             // a non-blank slot too short to have a signature
    DWORD signatureSet[256 / 32]; // the buckets of the slots' signatures
};

struct SlotSignature {
    bool present; // the slot is long enough to have one
    DWORD value;
};

// One of 256 buckets for a signature, to tell at once that no slot has it.
DWORD SignatureBucket(DWORD signature)
{
    return (signature * 0x9E3779B1u) >> 24;
}

// Digests a catalogue, given its slots' compared lengths; fills in their
// signatures.
void DigestCatalogue(const Catalogue &catalogue, const DWORD *lengths, SlotSignature *signatures,
                     CatalogueDigest &digest)
{
    digest.reference = NULL;
    digest.first = 0;
    digest.shared = 0;
    for (int s = 0; s < catalogue.count; s++) {
        LPCSTR slot = SlotText(catalogue, s);
        if (slot[0] == '\0')
            continue;
        if (!digest.reference) {
            digest.reference = slot;
            digest.first = Folded(slot[0]);
            digest.shared = lengths[s];
            continue;
        }
        DWORD same = 0;
        while (same < digest.shared && same < lengths[s] && Folded(slot[same]) == Folded(digest.reference[same]))
            same++;
        digest.shared = same;
    }
    digest.anyUnsigned = false;
    memset(digest.signatureSet, 0, sizeof digest.signatureSet);
    for (int s = 0; s < catalogue.count; s++) {
        LPCSTR slot = SlotText(catalogue, s);
        signatures[s].present = lengths[s] >= digest.shared + 4;
        if (signatures[s].present) {
            signatures[s].value = Signature(slot + digest.shared);
            DWORD bucket = SignatureBucket(signatures[s].value);
            digest.signatureSet[bucket / 32] |= 1u << (bucket % 32);
        } else if (slot[0] != '\0') {
            digest.anyUnsigned = true;
        }
    }
}

// False when no slot of the catalogue can begin the line; otherwise gives the
// line's signature after the shared start, when it is long enough to have one.
bool MayHold(const CatalogueDigest &digest, const Line &line, DWORD &signature, bool &isSigned)
{
    DWORD known = digest.shared;
    if (known > 0 && (line.headLength == 0 || Folded(line.head[0]) != digest.first ||
                      !MatchesPrefix(line, digest.reference, known, 1)))
        return false;
    isSigned = line.headLength >= known + 4;
    signature = isSigned ? Signature(line.head + known) : 0;
    DWORD bucket = SignatureBucket(signature);
    return digest.anyUnsigned || (isSigned && (digest.signatureSet[bucket / 32] & (1u << (bucket % 32))));
}

} // namespace

void DropPresentEntries(const Catalogue *const *catalogues, int count, CompareMode mode)
{
    // The compared length of every slot, worked out once rather than per line.
    // A list past the limits is taken as far as whole catalogues fit.
    DWORD lengths[MOST_SLOTS];
    int slots = 0;
    int taken = 0;
    for (; taken < count && taken < MOST_CATALOGUES && slots + catalogues[taken]->count <= MOST_SLOTS; taken++)
        for (int s = 0; s < catalogues[taken]->count; s++) {
            DWORD length = (DWORD)lstrlenA(SlotText(*catalogues[taken], s));
            if (mode == MARKERLESS_COMPARE && length >= INSTALL_MARKER_LENGTH)
                length -= INSTALL_MARKER_LENGTH;
            lengths[slots++] = length;
        }
    count = taken;

    // What is known of each catalogue before any line is read, and by a
    // line's first character which catalogues can hold it at all, so that
    // most lines are passed at a glance.
    CatalogueDigest digests[MOST_CATALOGUES];
    SlotSignature signatures[MOST_SLOTS];
    WORD wanted[256];
    WORD always = 0; // catalogues without a shared start: every line is compared
    memset(wanted, 0, sizeof wanted);
    for (int c = 0, base = 0; c < count; base += catalogues[c]->count, c++) {
        DigestCatalogue(*catalogues[c], lengths + base, signatures + base, digests[c]);
        if (digests[c].shared > 0)
            wanted[(BYTE)digests[c].first] |= (WORD)(1u << c);
        else
            always |= (WORD)(1u << c);
    }

    Line line;
    while (ReadLine(line)) {
        if (!always && (line.headLength == 0 || !wanted[(BYTE)Folded(line.head[0])]))
            continue;
        int index = 0;
        for (int c = 0; c < count; c++) {
            const Catalogue &catalogue = *catalogues[c];
            DWORD known = digests[c].shared;
            DWORD lineSignature = 0;
            bool lineSigned = false;
            if (!MayHold(digests[c], line, lineSignature, lineSigned)) {
                index += catalogue.count;
                continue;
            }
            for (int s = 0; s < catalogue.count; s++, index++) {
                char *slot = catalogue.slots + s * catalogue.stride;
                if (slot[0] == '\0')
                    continue;
                // A line shorter than the signed part cannot hold the slot.
                if (signatures[index].present && (!lineSigned || signatures[index].value != lineSignature))
                    continue;
                if (MatchesPrefix(line, slot, lengths[index], known))
                    slot[0] = '\0';
            }
        }
    }
    RewindSource();
}
