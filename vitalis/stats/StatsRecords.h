// The period's statistics records. Their byte layouts are those of the state file
// ("vitalis.bin"): little-endian, no padding, texts zero-terminated and zero-padded.
#pragma once

#include <cstddef>

#include "core/Win.h"

// The receiver driver's counters and identity.
struct VESDD_STATS {
  DWORD dwCRCErrors;
  DWORD dwMulticastAdds;
  DWORD dwMegaBytesReceived;
  DWORD dwHeartBeat;
  DWORD dwLowOnBuffers;
  DWORD dwFramesProcessed;
  DWORD dwFramesAccepted;
  DWORD dwFramesRejected;
  DWORD dwFErrors;
  DWORD dwDataLimitErrors;
  DWORD dwRawSignalQuality;
  DWORD dwDriverOpMode;  // 1 DVB, 2 Classic, else unknown
  char szDriverVersion[120];
  char szSerialNumber[7];
  char szSiteID[10];
  char szAddressStats[4003];  // lines separated by line feeds

  VESDD_STATS() { Init(); }
  VESDD_STATS(const VESDD_STATS& other) { *this = other; }
  // The twelve counters and the four texts (each as a terminated string).
  VESDD_STATS& operator=(const VESDD_STATS& other);
  void Init();
};
static_assert(sizeof(VESDD_STATS) == 4188);

// A record whose wrapping counters are latest minus base; the rest is latest.
VESDD_STATS GenerateDelta(const VESDD_STATS& latest, const VESDD_STATS& base);

// Signal quality samples of the period by bucket, and the acquisition losses.
struct SQF_STATS {
  DWORD dwBucket[11];  // 0-49, 50-59, ..., 130-139, 140 and above
  DWORD dwAcquisitionLoss;

  SQF_STATS() { Init(); }
  void Init();
  // The bucket a quality sample counts in.
  static unsigned BucketOf(WORD quality);
  void AddSample(WORD quality) { ++dwBucket[BucketOf(quality)]; }
};
static_assert(sizeof(SQF_STATS) == 48);

struct NEWSCAST_STATS {
  ULONGLONG ullPkgMbytesRead;
  DWORD dwIncompleteLMPCount;
  DWORD dwCompleteLMPCount;
  DWORD dwHeadersRead;
  DWORD dwArticlesRead;

  NEWSCAST_STATS() { Init(); }
  void Init();
};
static_assert(sizeof(NEWSCAST_STATS) == 24);

struct PD_STATS {
  DWORD dwAttempts;
  DWORD dwSuccess;
  ULONGLONG ullKilobytes;

  PD_STATS() { Init(); }
  void Init();
};
static_assert(sizeof(PD_STATS) == 16);

// Dial-out counts of one phone number.
struct ZN_NODE {
  static constexpr std::size_t kPhoneSize = 20;
  char szPhoneNumber[kPhoneSize];  // at most 19 characters, always terminated
  DWORD dwBusy;
  DWORD dwAttempts;
  DWORD dwLink;  // the list link's place in the state file; ignored on reading

  ZN_NODE() { Init(); }
  void Init();
  // Copies a number of any length, keeping at most 19 characters.
  void SetPhoneNumber(const char* number);
  DWORD Total() const { return dwBusy + dwAttempts; }
};
static_assert(sizeof(ZN_NODE) == 32);

// The period's dial-out numbers: a singly linked list of heap nodes.
class ZN_LIST {
 public:
  ZN_LIST() = default;
  ~ZN_LIST() { Clear(); }
  ZN_LIST(const ZN_LIST&) = delete;
  ZN_LIST& operator=(const ZN_LIST&) = delete;

  // Merges into the node of the same number (exact comparison), else puts a copy in front.
  // 0 when the copy cannot be allocated.
  BOOL Add(const ZN_NODE& node);
  // Largest total first; among equal totals a later node comes first, the head excepted.
  void Sort();
  // The first node (a zeroed node when the list is empty), removed from the list.
  ZN_NODE PopFront();
  void Clear();
  std::size_t Count() const;
  // The first `count` nodes after sorting a copy; the list itself is left alone.
  std::size_t PeekTop(ZN_NODE* nodes, std::size_t count) const;

 private:
  struct Node {
    ZN_NODE data;
    Node* next;
  };
  static Node* SortChain(Node* head);
  Node* m_pHead = nullptr;
};
