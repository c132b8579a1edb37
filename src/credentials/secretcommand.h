// The password command: a program of the user's (a password manager, a keyring, an OAuth2
// token helper) that prints the relay's secret, so that it never has to stand in a file.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// Bounds on the command: the secret fits easily, a runaway does not hold the run.
constexpr std::size_t MaxSecretOutput = 64 * 1024;
constexpr int SecretCommandSeconds = 120;

// Runs `command` with /bin/sh -c, SENDAL_HOST and SENDAL_USER in its environment, standard
// input, standard error and the terminal left to it (a passphrase prompt works), and takes the
// first line of its output as `secret`. 0; or -1 after logging at level 1 "Password command
// failed!", "Password command timed out!" or "Password command printed nothing!" (exit code
// 78). What it prints is never logged or shown.
std::int32_t RunSecretCommand(const std::string& command, const std::string& host,
                              const std::string& user, std::string& secret);

}  // namespace sendal
