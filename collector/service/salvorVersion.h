// The collector's --version and --help, answered before anything else of
// the command line is looked at.
#pragma once

/*
 * When argv[1] is "--version" or "--help", prints the answer on standard
 * output, sets *exitCode to 0 and returns true.
 */
bool SalvorAnswerInfoOption(int argc, char **argv, int *exitCode);
