#include "stats/StatsRecords.h"

#include <cstring>
#include <new>

#include "core/TraceLog.h"

namespace {

// Copies a terminated string into a fixed field, cut to fit.
template <std::size_t N>
void CopyField(char (&field)[N], const char* source) {
  std::size_t n = strnlen(source, N - 1);
  std::memcpy(field, source, n);
  std::memset(field + n, 0, N - n);
}

}  // namespace

void VESDD_STATS::Init() {
  LogInfo("VESDD_STATS::Init()", 0);
  std::memset(static_cast<void*>(this), 0, sizeof(*this));
  std::strcpy(szDriverVersion, "N.A.");
  std::strcpy(szSerialNumber, "N.A.");
  std::strcpy(szSiteID, "N.A.");
  std::strcpy(szAddressStats, "N.A.");
}

VESDD_STATS& VESDD_STATS::operator=(const VESDD_STATS& other) {
  if (this == &other) return *this;
  dwCRCErrors = other.dwCRCErrors;
  dwMulticastAdds = other.dwMulticastAdds;
  dwMegaBytesReceived = other.dwMegaBytesReceived;
  dwHeartBeat = other.dwHeartBeat;
  dwLowOnBuffers = other.dwLowOnBuffers;
  dwFramesProcessed = other.dwFramesProcessed;
  dwFramesAccepted = other.dwFramesAccepted;
  dwFramesRejected = other.dwFramesRejected;
  dwFErrors = other.dwFErrors;
  dwDataLimitErrors = other.dwDataLimitErrors;
  dwRawSignalQuality = other.dwRawSignalQuality;
  dwDriverOpMode = other.dwDriverOpMode;
  CopyField(szDriverVersion, other.szDriverVersion);
  CopyField(szSerialNumber, other.szSerialNumber);
  CopyField(szSiteID, other.szSiteID);
  CopyField(szAddressStats, other.szAddressStats);
  return *this;
}

VESDD_STATS GenerateDelta(const VESDD_STATS& latest, const VESDD_STATS& base) {
  VESDD_STATS delta(latest);
  delta.dwCRCErrors = latest.dwCRCErrors - base.dwCRCErrors;
  delta.dwMegaBytesReceived = latest.dwMegaBytesReceived - base.dwMegaBytesReceived;
  delta.dwHeartBeat = latest.dwHeartBeat - base.dwHeartBeat;
  delta.dwLowOnBuffers = latest.dwLowOnBuffers - base.dwLowOnBuffers;
  delta.dwFErrors = latest.dwFErrors - base.dwFErrors;
  return delta;
}

void SQF_STATS::Init() {
  LogInfo("SQF_STATS::Init()", 0);
  std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

unsigned SQF_STATS::BucketOf(WORD quality) {
  if (quality < 50) return 0;
  unsigned index = quality / 10u - 4u;
  return index > 10 ? 10 : index;
}

void NEWSCAST_STATS::Init() {
  LogInfo("NEWSCAST_STATS::Init()", 0);
  std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

void PD_STATS::Init() {
  LogInfo("PD_STATS::Init ", 0);
  std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

void ZN_NODE::Init() {
  LogInfo("ZN_NODE::Init()", 0);
  std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

void ZN_NODE::SetPhoneNumber(const char* number) {
  CopyField(szPhoneNumber, number != nullptr ? number : "");
}

BOOL ZN_LIST::Add(const ZN_NODE& node) {
  for (Node* p = m_pHead; p != nullptr; p = p->next) {
    if (std::strncmp(p->data.szPhoneNumber, node.szPhoneNumber, ZN_NODE::kPhoneSize) == 0) {
      p->data.dwBusy += node.dwBusy;
      p->data.dwAttempts += node.dwAttempts;
      return TRUE;
    }
  }
  Node* fresh = new (std::nothrow) Node{node, m_pHead};
  if (fresh == nullptr) return FALSE;
  fresh->data.szPhoneNumber[ZN_NODE::kPhoneSize - 1] = '\0';
  fresh->data.dwLink = 0;
  m_pHead = fresh;
  return TRUE;
}

// Insertion sort, largest total first, taking the nodes in list order. A node goes before
// the head only when it is strictly larger; otherwise before the first later node that is
// not larger than itself, so equal totals put the later node first (the head keeps its place).
ZN_LIST::Node* ZN_LIST::SortChain(Node* head) {
  Node* sorted = nullptr;
  while (head != nullptr) {
    Node* node = head;
    head = head->next;
    node->next = nullptr;
    if (sorted == nullptr || node->data.Total() > sorted->data.Total()) {
      node->next = sorted;
      sorted = node;
      continue;
    }
    Node* prev = sorted;
    while (prev->next != nullptr && prev->next->data.Total() > node->data.Total())
      prev = prev->next;
    node->next = prev->next;
    prev->next = node;
  }
  return sorted;
}

void ZN_LIST::Sort() {
  m_pHead = SortChain(m_pHead);
}

ZN_NODE ZN_LIST::PopFront() {
  ZN_NODE result;
  if (m_pHead != nullptr) {
    Node* first = m_pHead;
    m_pHead = first->next;
    result = first->data;
    result.dwLink = 0;
    delete first;
  }
  return result;
}

void ZN_LIST::Clear() {
  while (m_pHead != nullptr) {
    Node* next = m_pHead->next;
    delete m_pHead;
    m_pHead = next;
  }
}

std::size_t ZN_LIST::Count() const {
  std::size_t n = 0;
  for (Node* p = m_pHead; p != nullptr; p = p->next) ++n;
  return n;
}

std::size_t ZN_LIST::PeekTop(ZN_NODE* nodes, std::size_t count) const {
  // Sort a copy of the chain so that the order matches what Sort would give.
  Node* copy = nullptr;
  Node** tail = &copy;
  for (Node* p = m_pHead; p != nullptr; p = p->next) {
    Node* n = new (std::nothrow) Node{p->data, nullptr};
    if (n == nullptr) break;
    *tail = n;
    tail = &n->next;
  }
  copy = SortChain(copy);
  std::size_t taken = 0;
  while (copy != nullptr) {
    Node* next = copy->next;
    if (taken < count) {
      nodes[taken] = copy->data;
      nodes[taken].dwLink = 0;
      ++taken;
    }
    delete copy;
    copy = next;
  }
  for (std::size_t i = taken; i < count; ++i) nodes[i] = ZN_NODE();
  return taken;
}
