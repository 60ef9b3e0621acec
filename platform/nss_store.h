// The system certificate store on Linux: the user's NSS shared database,
// the one Chromium and other desktop programs keep certificates and keys in.
//
// Each operation opens the database with its own NSS context, read-only, so
// that another NSS user in the same process (the browser itself) keeps its
// own initialisation, and shuts the context down when the operation ends.
// A locked database is unlocked by logging in with the password the prompt
// returns; the process-wide NSS password function is never replaced.
#pragma once

#include <memory>
#include <string>

#include "engine/system_cert_store.h"

namespace quenta {

// Environment variable naming another database: a directory, or an NSS
// database name with its prefix ("sql:/path", "dbm:/path").
extern const char kNssDatabaseEnv[];

// The database the store opens now: $QUENTA_NSS_DB when set and not empty,
// else "sql:" + $HOME/.pki/nssdb (the home directory from the password
// database when HOME is unset). Empty when no home directory is known.
std::string NssDatabaseName();

// The store on the database NssDatabaseName() gives at each Open.
std::unique_ptr<ICertStoreBackend> MakeNssCertStore();

}  // namespace quenta
