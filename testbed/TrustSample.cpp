// The program the signature-check tests sign in many ways (testbed/pki/make-samples.py):
// a small, real PE file that does nothing when it runs.
int main() { return 0; }
