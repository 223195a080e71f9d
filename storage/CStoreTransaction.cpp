#include "storage/CStoreTransaction.h"

CStoreTransaction::CStoreTransaction(CAccessInterface& store) : m_store(store) {
  m_begun = m_store.ExecuteSql("BEGIN IMMEDIATE", {}) == 1;
}

CStoreTransaction::~CStoreTransaction() {
  if (m_begun && !m_done) m_store.ExecuteSql("ROLLBACK", {});
}

bool CStoreTransaction::Commit() {
  if (!m_begun || m_done) return false;
  m_done = m_store.ExecuteSql("COMMIT", {}) == 1;
  return m_done;
}
