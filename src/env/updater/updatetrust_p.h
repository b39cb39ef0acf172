#ifndef ENV_UPDATETRUST_P_H
#define ENV_UPDATETRUST_P_H

#include "environment.h"

#include <QString>

// What the updater trusts, fixed at build time: the publisher's key that signs
// releases and the update server's host key. Both empty by default, which
// keeps the unsigned behaviour and the known-hosts file.
namespace updatetrust
{

// Base64 of the publisher's raw Ed25519 public key; empty: no signature needed.
QString publicKey();
bool signaturesRequired();
// The update server's key fingerprint as ssh-keygen -lf prints it
// ("SHA256:" and unpadded base64); empty: the known-hosts file decides.
QString hostKeyFingerprint();

// Replace the build-time values (tests); a null string restores them.
void setPublicKey(QString const &key);
void setHostKeyFingerprint(QString const &fingerprint);

// Why an offer or a setup program is refused, as the text for the host;
// empty when it is signed by the publisher over exactly these values, or when
// no signature is needed.
QString signatureProblem(
    AppVersion const &version, QString const &fileName, qint64 size, QString const &sha256, QString const &signature);

// Why a downloaded setup program must not be started: its MD5 text differs
// ("MD5 sum error!"), or signatureProblem over its own size and SHA-256, read
// in the same pass. Empty when it may be started.
QString setupFileProblem(
    QString const &filePath, QString const &expectedMd5, AppVersion const &version, QString const &signature);

// The text of a ".sig" companion file; empty when it cannot be read or is
// far larger than any signature.
QString readSignatureFile(QString const &path);

// "SHA256:" and the unpadded base64 of a key's SHA-256 hash.
QString openSshFingerprint(QByteArray const &sha256);

} // namespace updatetrust

#endif
