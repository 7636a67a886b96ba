/*
 * Service library of the payment terminal: the whole public interface.
 * Plain C (C99); every function has an unmangled name.
 */
#ifndef RYNSERVICE_H
#define RYNSERVICE_H

#include "ryn_log.h"
#include "ryn_service.h"
#include "ryn_callbacks.h"
#include "ryn_transaction.h"
#include "ryn_tls.h"
#include "ryn_tlv.h"

#endif
