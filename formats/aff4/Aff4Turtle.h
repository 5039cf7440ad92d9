// The metadata of AFF4 volumes: the statements of their "information.turtle" read by a Turtle
// parser, kept as far as the reader uses them. Both vocabularies (the Standard's and the earlier
// 2009 one) are folded onto one set of names, so that "aff4:chunkSize" and "aff4:chunk_size" are
// the same predicate.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/Com.h"

// The predicates the reader uses; every other statement is dropped while parsing.
enum class TAff4Predicate : Byte {
  kType, kSize, kChunkSize, kChunksInSegment, kCompressionMethod, kMapGapDefaultStream, kDataStream,
  kDependentStream, kStored, kTarget, kHash, kBlockMapHash, kMapHash, kMapIdxHash, kMapPointHash, kMapPathHash,
  kImageStreamHash, kImageStreamIndexHash, kBlockHashesHash, kLinearBlockHash, kFileName, kOriginalFileName,
  kBirthTime, kLastWritten, kLastAccessed, kRecordChanged, kCaseNumber, kCaseName, kCaseDescription,
  kEvidenceNumber, kExaminer, kNotes, kStartTime, kEndTime, kCreationTime, kDiskMake, kDiskModel, kDiskSerial,
  kDiskFirmware, kDiskDeviceName, kDiskInterfaceType, kSectorCount, kBlockSize, kAcquisitionCompletionState,
  kVersion,
  kCount
};

// One object of a statement.
struct TAff4Value {
  std::string Text;      // an IRI in full, or a literal's text
  std::string Datatype;  // a literal's datatype folded like the predicates ("aff4:md5", "xsd:long"), or empty
  bool IsIri = false;
};

// Error flag bits (1 << kpv_ErrorFlags_HeadersError) of a text the parser stopped in or skipped
// parts of; the statements read before and after the damage stay.
class TAff4Graph {
public:
  // Adds the statements of one Turtle text; relative IRIs are resolved against `base` (and the
  // text's own @base). Stream failures raise.
  void Parse(ISequentialInStream *text, const std::string &base);

  // The objects of `predicate` about `subject`, in text order (several texts: in parse order).
  std::vector<const TAff4Value *> Values(const std::string &subject, TAff4Predicate predicate) const;
  // The first object's text, or empty.
  std::string First(const std::string &subject, TAff4Predicate predicate) const;
  // Whether `subject` has type `type` (folded: "aff4:diskimage").
  bool HasType(const std::string &subject, std::string_view type) const;
  // The subjects with type `type`, in the order they were first seen.
  std::vector<std::string> SubjectsOfType(std::string_view type) const;
  // Every subject, in the order first seen.
  const std::vector<std::string> &Subjects() const { return FOrder; }

  UInt32 Errors = 0;
  // Most statements kept (of the predicates the reader uses).
  static constexpr size_t kMaxStatements = 1u << 22;

private:
  struct TStatement {
    TAff4Predicate Predicate;
    TAff4Value Object;
  };
  friend struct TAff4GraphSink;
  std::unordered_map<std::string, std::vector<TStatement>> FSubjects;
  std::vector<std::string> FOrder;
  size_t FStatements = 0;
};

// An IRI of the AFF4 vocabularies (either namespace), the XML Schema types or rdf:type folded to
// "aff4:<name>", "xsd:<name>" or "rdf:type", the name lower-cased and without underscores; any
// other IRI as it is.
std::string FoldAff4Iri(std::string_view iri);
