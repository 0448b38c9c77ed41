// factorial: reads N from "input.txt" and writes N! as one line of decimal digits to "output.txt".
// It prints nothing; the exit status tells whether the answer was written (see factorial.hpp).
#include "factorial.hpp"

#include <fstream>

// Opened at start-up, before main, in this order, and closed at exit in reverse. Opening
// "output.txt" creates or empties it before any input is read, whatever "input.txt" holds.
std::ifstream input_stream("input.txt");
std::ofstream output_stream("output.txt");

int main()
{
    return run(input_stream, output_stream);
}
