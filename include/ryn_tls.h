/*
 * TLS settings for terminals on the LAN.
 *
 * When the activated terminal says UseSsl=1, both of its connections to the
 * host (ports 5188 and 5186) run TLS 1.2 with the host as server. Set the
 * files before startRynService: the host's certificate and key (PEM), the
 * Diffie-Hellman parameters (PEM, 2048 bits or more) and, to require and
 * verify a certificate from the terminal, a CA file. Without a CA file the
 * terminal's certificate is asked for but not required.
 * Each returns 1 when stored, 0 when a length is out of range (paths below
 * 260 bytes, pass phrase below 32 bytes) or a pointer is null.
 */
#ifndef RYN_TLS_H
#define RYN_TLS_H

#ifdef __cplusplus
extern "C" {
#endif

int setRootCA(const char *path, int length);
int setClientCertificate(const char *path, int length);
int setClientKey(const char *path, int pathLength, const char *password, int passwordLength);
int setDHFile(const char *path, int length);

#ifdef __cplusplus
}
#endif

#endif
