#pragma once
// The resource tree: parsing a resource section into it, finding, adding and removing entries
// by the ordering rules, and the two passes (measure, write) that build a new section image.

#include "common/u_FileIO.h"
#include "resources/vexTools.h"

#include <cstdint>
#include <memory>
#include <vector>

// The platform uses three levels below the root; deeper trees come only from damaged files.
// The limit keeps the recursive parse and write bounded.
inline constexpr int MaxResourceTreeDepth = 32;

// Parses the resource directory of a section into a tree whose unchanged leaves point into
// file. Offsets, sizes and data outside the section's raw data, a directory that loops back
// into itself, trees deeper than the limit, and tables, names and data that together claim
// more bytes than the section holds (overlapping) raise EDamagedData naming the cause.
// Budget: at most one node (about 190 bytes with its links) per 8 section bytes, so under 25
// bytes of memory per section byte (7 measured for the densest tree); time linear in the section.
// With parts, every byte range of file the tree was read from (each table with its entries,
// name, data entry and leaf's data) is added there: one 16-byte record per 4 claimed bytes at
// most, within the same budget.
std::unique_ptr<TResItem> ResTreeParse(TByteView file, const TSectionHeader& section,
                                       std::vector<TFileRange>* parts = nullptr);

// A new, empty root directory.
std::unique_ptr<TResItem> NewResDirectory();

// The first directory child matching ident (integer: unnamed with that id; text: that exact
// name), or null.
TResItem* FindResDirectory(TResItem& parent, const TResIdent& ident);
// The first leaf child with that language, or null.
TResItem* FindResLeaf(TResItem& parent, uint16_t language);

// Adds a directory child by the ordering rules (named children before numeric ones; names in
// ordinal order of their ANSI form, numbers ascending) and counts it.
TResItem* AddResDirectory(TResItem& parent, const TResIdent& ident);
// Adds a leaf before the first child whose id is not smaller than language.
TResItem* AddResLeaf(TResItem& parent, uint16_t language);
// Unlinks child from parent, fixes the counts and releases it with everything below.
void RemoveResChild(TResItem& parent, TResItem* child);

// Sets a changed leaf's data: up to MaxInMemoryResourceData bytes stay in memory, larger data
// goes to a new spool file (created exclusively, user-only, unlinked at once so that no path
// leaves it behind). Any earlier copy or spool file of the leaf is dropped.
void SetResLeafData(TResItem& leaf, uint16_t language, const void* data, uint32_t size);
// The same taking data over: it stays in memory whatever its size.
void SetResLeafData(TResItem& leaf, uint16_t language, std::string data);
// The same taking over an open file whose whole content is the data, which then is never in
// memory.
void SetResLeafData(TResItem& leaf, uint16_t language, TFileHandle file);

// Sizes of the three areas of a section image built from a tree.
struct TResTreeSize {
  uint64_t Directories = 0; // D: tables and data entries
  uint64_t Names = 0;       // M
  uint64_t Data = 0;        // A
  uint64_t NamesEnd() const { return (Directories + Names + 3) & ~uint64_t(3); } // H
  uint64_t Total() const { return NamesEnd() + Data; }                           // Z
};

TResTreeSize ResTreeMeasure(const TResItem& root);

// Writes the section image of the tree into out (size bytes, zero-filled, exactly as measured);
// sectionRva is the section's VirtualAddress, for the data entries' addresses.
// With outMapsFile, out maps the new file: the pages of a big leaf are let go as soon as they
// are written, so that the image and the leaves it is built from are never both in memory.
void ResTreeWrite(const TResItem& root, const TResTreeSize& size, uint8_t* out, uint32_t sectionRva,
                  bool outMapsFile);
