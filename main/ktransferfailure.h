#pragma once

#include <QString>

// What a failed transfer asks of the user. Most failures pass by themselves
// (a later pass tries the file again); these do not.
enum class KFailureKind
{
    Passing,
    NoSpace,     // the server's space or the local disk is full
    Refused,     // no permission on the server or the local disk
    Certificate, // the server's certificate is not trusted
};

// Sorts the reason texts of failed transfers (server tips, local file errors,
// network errors) into what the user must act on. Pure functions.
class KTransferFailure
{
public:
    // certificateRefused: the server's certificate was refused lately, which
    // the reason text itself cannot tell (the request just got no answer).
    static KFailureKind kind(const QString& reason, bool certificateRefused = false);
    // The sentence of the notification; "" for Passing.
    static QString notice(KFailureKind kind);
};
