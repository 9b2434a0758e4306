// The program of a layer's link check: the layer is linked whole, so every call
// it makes must be defined in it or in the layers below it.
int main()
{
    return 0;
}
