// Load and unload hooks of libRYNService.so (linked only into the shared
// object). Everything they touch is constant-initialised, since they may run
// before this library's other static initialisers.
#include "service/manager.h"
#include "service/log.h"

#include "ryn_log.h"

#include <openssl/ssl.h>

extern "C" {

__attribute__((constructor)) void my_load_rynservice(void) {
    if (isDebugLogEnabled()) logCreate();
    OPENSSL_init_ssl(0, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    // The BIO error strings come with the crypto strings above on OpenSSL 3.
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    ryn::createManager();
    RYN_LOG(OBJ_SERVICE, LOG_INFO, "PDA_Manager: DllMain attached");
}

__attribute__((destructor)) void my_unload_rynservice(void) {
    RYN_LOG(OBJ_SERVICE, LOG_INFO, "PDA_Manager: DllMain detached");
    ryn::destroyManager();
    logDestroy();
}

}  // extern "C"
