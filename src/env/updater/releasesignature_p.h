#ifndef ENV_RELEASESIGNATURE_P_H
#define ENV_RELEASESIGNATURE_P_H

#include "environment.h"

#include <QByteArray>
#include <QString>

// Ed25519 signatures of releases: the message a publisher signs for a setup
// program, and signing and verifying it. Values in, values out; the updater
// and envctl's publisher commands share these.
namespace releasesignature
{

// "env-release-1", the version as four numbers, the file name, its size and
// its SHA-256 in lower-case hex, each on a line of its own.
QByteArray message(AppVersion const &version, QString const &fileName, qint64 size, QString const &sha256);

enum class Result {
    Ok,
    Missing, // no signature text
    Malformed, // not base64 of 64 bytes
    Invalid, // another key, or another message than the one signed
    BadPublicKey // the public key is not base64 of 32 bytes
};

// publicKey: base64 of the raw 32 bytes; signature: base64 of the 64 bytes,
// surrounding white space ignored.
Result verify(QString const &publicKey, QByteArray const &message, QString const &signature);

// The publisher's side. A PKCS#8 PEM private key and its public key text.
bool generateKey(QByteArray *privateKeyPem, QString *publicKey);
// Empty when the PEM is not an Ed25519 private key.
QString publicKeyOf(QByteArray const &privateKeyPem);
// Base64 signature of message; empty when the PEM is not an Ed25519 private key.
QString sign(QByteArray const &privateKeyPem, QByteArray const &message);

} // namespace releasesignature

#endif
