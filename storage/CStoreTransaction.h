#pragma once

#include "storage/CAccessInterface.h"

// One write transaction on an open store, taken at once (BEGIN IMMEDIATE) so that what
// a command reads inside it cannot change before it commits. Rolled back unless
// committed. The store's thread.
class CStoreTransaction {
 public:
  explicit CStoreTransaction(CAccessInterface& store);
  ~CStoreTransaction();
  CStoreTransaction(const CStoreTransaction&) = delete;
  CStoreTransaction& operator=(const CStoreTransaction&) = delete;

  // False when the transaction could not be begun (the database is busy or failed).
  bool Begun() const { return m_begun; }
  // False when the commit failed; everything is then rolled back.
  bool Commit();

 private:
  CAccessInterface& m_store;
  bool m_begun = false;
  bool m_done = false;
};
