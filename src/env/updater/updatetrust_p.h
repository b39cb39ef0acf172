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

// Whether an offer or a setup program may be taken, and when not, why, with
// the text for the host.
enum class Status {
    Ok, // signed by the publisher over exactly these values, or no signature needed
    DigestMismatch, // the MD5 text differs, or the file cannot be read
    Unsigned, // no signature text
    Malformed, // the signature is not one
    Invalid, // another key, or other values than the ones signed
    BadPublicKey // the publisher's key built in is not one
};

struct Verdict {
    Status status = Status::Ok;
    QString text; // for the host; empty when Ok
    bool ok() const { return status == Status::Ok; }
};

// The signature over the offered version, file name, size and SHA-256.
Verdict checkSignature(
    AppVersion const &version, QString const &fileName, qint64 size, QString const &sha256, QString const &signature);

// A downloaded setup program: its MD5 text ("MD5 sum error!"), then
// checkSignature over its own size and SHA-256, read in the same pass.
Verdict checkSetupFile(
    QString const &filePath, QString const &expectedMd5, AppVersion const &version, QString const &signature);

// What a refused setup program becomes.
enum class Refused {
    Removed, // always: nothing is left that could be started
    RemovedWhenSigned // only when signatures are required: nothing unverified stays behind
};

// checkSetupFile, and a refused file removed as told.
Verdict verifySetupFile(QString const &filePath, QString const &expectedMd5, AppVersion const &version,
    QString const &signature, Refused refused);

// Removes a refused setup program as told.
void discard(QString const &filePath, Refused refused);

// The text of a ".sig" companion file; empty when it cannot be read or is
// far larger than any signature.
QString readSignatureFile(QString const &path);

// "SHA256:" and the unpadded base64 of a key's SHA-256 hash.
QString openSshFingerprint(QByteArray const &sha256);

} // namespace updatetrust

#endif
