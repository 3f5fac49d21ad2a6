// A library that loads but exports none of Kestrin's names.
int kestrinToolTestNothingHere()
{
    return 0;
}
