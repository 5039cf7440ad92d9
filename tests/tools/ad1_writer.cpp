// Writes an AD1 image of a folder tree, for the end-to-end tests and the demo:
//   ad1_writer --from tree --out set/image.ad1 --version 4 --chunk 4096 --segment-size 20000
// Entries are taken in name order; stat times become metadata (the modification time also stands in
// for the creation time, which stat does not give).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include "fixtures/Ad1Writer.h"
#include "fixtures/SourceTree.h"

namespace {

void Usage() {
  std::cerr << "usage: ad1_writer --from DIR --out PATH/NAME.ad1 [options]\n"
               "  --version 3|4            logical image header version (default 3)\n"
               "  --chunk N                chunk size (default 65536)\n"
               "  --segment-size N         full size of every segment file but the last (default: one segment)\n"
               "  --digests md5|sha1|both|none   stored digests of the files (default both)\n"
               "  --source TEXT            data source name\n"
               "  --wrong-md5 RELPATH      store a wrong MD5 for that file\n"
               "  --wrong-sha1 RELPATH     store a wrong SHA-1 for that file\n"
               "  --corrupt-chunk RELPATH  flip a byte in the middle of that file's first chunk\n"
               "  --missing K              do not write segment K\n"
               "  --truncate K:BYTES       cut BYTES from the end of segment K\n";
  std::exit(2);
}

UInt64 Number(const std::string &s) {
  UInt64 v = 0;
  if (!ParseToolNumber(s, v))
    Usage();
  return v;
}


std::vector<TAd1Node> ToNodes(const std::vector<TSourceEntry> &entries, unsigned digests) {
  std::vector<TAd1Node> nodes;
  for (const TSourceEntry &e : entries) {
    TAd1Node node;
    node.Name = e.Name;
    node.IsFolder = e.IsDir;
    node.Data = e.Data;
    node.Children = ToNodes(e.Children, digests);
    const TAd1Times times{SourceFileTime(e.ATime), SourceFileTime(e.MTime), SourceFileTime(e.MTime)};
    node.Meta = Ad1StandardMeta(node, times, digests);
    nodes.push_back(std::move(node));
  }
  return nodes;
}

TAd1Node &FindNode(std::vector<TAd1Node> &nodes, const std::string &relPath) {
  const size_t slash = relPath.find('/');
  const std::string head = relPath.substr(0, slash);
  for (TAd1Node &node : nodes)
    if (node.Name == head)
      return slash == std::string::npos ? node : FindNode(node.Children, relPath.substr(slash + 1));
  throw std::invalid_argument("no item " + relPath);
}

// Changes the first hex digit of the stored digest `key` of a file.
void SpoilDigest(std::vector<TAd1Node> &roots, const std::string &relPath, UInt32 key) {
  std::vector<TAd1Meta> &meta = FindNode(roots, relPath).Meta;
  const auto entry = std::find_if(meta.begin(), meta.end(), [&](const TAd1Meta &m) { return m.Key == key; });
  if (entry == meta.end())
    throw std::invalid_argument(relPath + " has no stored digest of that kind to spoil");
  entry->Value[0] = entry->Value[0] == '0' ? '1' : '0';
}

std::string ItemPath(std::string relPath) {
  std::replace(relPath.begin(), relPath.end(), '/', '\\');
  return relPath;
}

}  // namespace

int main(int argc, char **argv) {
  std::string from, out, wrongMd5, wrongSha1, corruptChunk;
  unsigned digests = kAd1BothDigests;
  UInt64 missing = 0, truncateSegment = 0, truncateBytes = 0;
  TAd1Options o;
  try {
    for (int i = 1; i < argc; i++) {
      const std::string arg = argv[i];
      if (i + 1 >= argc)
        Usage();
      const std::string v = argv[++i];
      if (arg == "--from") from = v;
      else if (arg == "--out") out = v;
      else if (arg == "--version") o.Version = static_cast<UInt32>(Number(v));
      else if (arg == "--chunk") o.ChunkSize = static_cast<UInt32>(Number(v));
      else if (arg == "--segment-size") o.SegmentSize = Number(v);
      else if (arg == "--source") o.SourceName = v;
      else if (arg == "--digests") {
        if (v == "md5") digests = kAd1MD5;
        else if (v == "sha1") digests = kAd1SHA1;
        else if (v == "both") digests = kAd1BothDigests;
        else if (v == "none") digests = kAd1NoDigest;
        else Usage();
      } else if (arg == "--wrong-md5") wrongMd5 = v;
      else if (arg == "--wrong-sha1") wrongSha1 = v;
      else if (arg == "--corrupt-chunk") corruptChunk = v;
      else if (arg == "--missing") missing = Number(v);
      else if (arg == "--truncate") {
        const size_t colon = v.find(':');
        if (colon == std::string::npos)
          Usage();
        truncateSegment = Number(v.substr(0, colon));
        truncateBytes = Number(v.substr(colon + 1));
      } else
        Usage();
    }
    if (from.empty() || out.empty())
      Usage();

    std::vector<TAd1Node> roots = ToNodes(ReadSourceTree(from), digests);
    if (!wrongMd5.empty())
      SpoilDigest(roots, wrongMd5, NAd1Key::kMD5);
    if (!wrongSha1.empty())
      SpoilDigest(roots, wrongSha1, NAd1Key::kSHA1);

    // Segment 1 is --out itself; the others lie beside it.
    const size_t slash = out.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string() : out.substr(0, slash + 1);
    const std::string name = out.substr(slash == std::string::npos ? 0 : slash + 1);
    const size_t dot = name.rfind('.');
    o.BaseName = dot == std::string::npos ? name : name.substr(0, dot);

    TAd1Layout layout;
    std::vector<Byte> space = Ad1DataSpace(roots, o, &layout);
    if (!corruptChunk.empty()) {
      const auto chunks = layout.ChunkPositions.find(ItemPath(corruptChunk));
      if (chunks == layout.ChunkPositions.end())
        throw std::invalid_argument(corruptChunk + " has no chunks to corrupt");
      space[(chunks->second[0] + chunks->second[1]) / 2] ^= 0xFF;
    }

    std::vector<TAd1File> files = Ad1Segments(space, o);
    if (truncateSegment) {
      if (truncateSegment > files.size())
        throw std::invalid_argument("no segment " + std::to_string(truncateSegment) + " to truncate");
      std::vector<Byte> &data = files[truncateSegment - 1].Data;
      data.resize(data.size() - std::min<UInt64>(truncateBytes, data.size()));
    }
    if (missing) {
      if (missing > files.size())
        throw std::invalid_argument("no segment " + std::to_string(missing) + " to leave out");
      files.erase(files.begin() + static_cast<ptrdiff_t>(missing - 1));
    }
    WriteAd1Files(dir, files);
  } catch (const std::exception &e) {
    std::cerr << "ad1_writer: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
