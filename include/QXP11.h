/* QXP11: mechanisms of the token's PKCS #11 module beyond the standard ones.
 *
 * SM2 keys appear as EC keys (CKK_EC) whose CKA_EC_PARAMS is the SM2 curve's
 * object identifier 1.2.156.10197.1.301; signatures are r || s (64 bytes). */
#ifndef QX_P11_H
#define QX_P11_H

/* Generates an SM2 key pair on the token (CKA_LABEL names the new container). */
#define CKM_QX_SM2_KEY_PAIR_GEN 0x80005101UL
/* Signs a 32-byte digest e that the caller computed. */
#define CKM_QX_SM2 0x80005102UL
/* Signs a message: the token signs SM3(Z_A || message), Z_A with the identity "1234567812345678". */
#define CKM_QX_SM2_SM3 0x80005103UL
/* CKM_QX_SM2 and CKM_QX_SM2_SM3 also verify (r || s, on the host, with the public key). */
/* Enciphers (on the host, with the public key) 1 to 159 bytes and deciphers on the
 * token; the ciphertext is C1 (X || Y) || C3 || C2, 96 bytes longer than the plaintext. */
#define CKM_QX_SM2_CIPHER 0x80005104UL

#endif /* QX_P11_H */
