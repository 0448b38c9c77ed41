// factorial: reads N from "input.txt" and writes N! as one line of decimal digits to "output.txt".
// It prints nothing; the exit status tells whether the answer was written (see factorial.hpp).
#include "factorial.hpp"

#include <fstream>

// Opened before main, in this order, so "output.txt" is emptied even when "input.txt" is missing.
std::ifstream input_stream("input.txt");
std::ofstream output_stream("output.txt");

int main()
{
    return run(input_stream, output_stream);
}
