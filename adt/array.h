// Array: a growable sequence of non-null pointers with a built-in
// iteration cursor. Take the first element with array_get_num(x, 0), then
// call array_get(x) until it returns null. The array never owns what its
// slots point to unless it is freed with array_free_fn.
#ifndef ADT_ARRAY_H
#define ADT_ARRAY_H

namespace adt
{

struct array {
    int size;    // slots allocated in data
    int block;   // slots added at each growth step (10)
    int items;   // elements held, in slots 0 to items-1
    int current; // index array_get returns next, or -1
    int lock;    // reserved, always 0
    int locked;  // reserved, always 0
    void **data; // size slots; those from items on are null
};
typedef struct array *Array;

// An element-freeing function: receives the address of an element's slot.
typedef void (*ArrayFreeFn)(void **slot);

// New empty array (lock is accepted and ignored); free with array_free.
Array array_init(int lock);
// Appends item; 0 for a null array or item, or when growth fails.
int array_add(Array x, void *item);
// Element at num, cursor placed behind it; null when out of range.
void *array_get_num(Array x, int num);
// Element under the cursor, then advances; null at the end.
void *array_get(Array x);
// Takes the element at num out of the array and answers it (the caller
// owns it again); later elements move down one slot and the cursor keeps
// pointing at the element it pointed at. Null when num is out of range.
void *array_remove_num(Array x, int num);
// Number of elements; 0 for a null array.
int array_items(Array x);
// Frees the slots and the record, not the elements; *x becomes null.
void array_free(Array *x);
// Calls fn on every element's slot address in index order, then array_free.
void array_free_fn(Array *x, ArrayFreeFn fn);

} // namespace adt

#endif
