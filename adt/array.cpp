// Array: a growable sequence of non-null pointers with an iteration cursor.
#include "adt/array.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "adt/log.h"

namespace adt
{

Array array_init(int lock)
{
    (void)lock;
    Array x = static_cast<Array>(calloc(1, sizeof(struct array)));
    if (!x) return nullptr;
    x->block = 10;
    x->current = -1;
    return x;
}

// Adds one block of null slots; the array stays as it was when that fails.
static int alloc(Array x)
{
    void **data = nullptr;
    if (x->size <= INT_MAX - x->block)
        data = static_cast<void **>(
            realloc(x->data, static_cast<size_t>(x->size + x->block) * sizeof(void *)));
    if (!data) {
        emsg("Memory allocation error.");
        return 0;
    }
    memset(data + x->size, 0, static_cast<size_t>(x->block) * sizeof(void *));
    x->data = data;
    x->size += x->block;
    return 1;
}

int array_add(Array x, void *item)
{
    if (!x || !item) return 0;
    if (x->items == x->size && !alloc(x)) return 0;
    x->data[x->items++] = item;
    return 1;
}

void *array_get_num(Array x, int num)
{
    if (!x || !x->data || num < 0 || num >= x->items) return nullptr;
    x->current = num + 1 < x->items ? num + 1 : -1;
    return x->data[num];
}

void *array_get(Array x)
{
    if (!x || x->current == -1) return nullptr;
    return array_get_num(x, x->current);
}

void *array_remove_num(Array x, int num)
{
    if (!x || num < 0 || num >= x->items) return nullptr;
    void *item = x->data[num];
    memmove(x->data + num, x->data + num + 1,
            static_cast<size_t>(x->items - num - 1) * sizeof(void *));
    x->data[--x->items] = nullptr;
    if (x->current > num)
        x->current--;
    else if (x->current >= x->items)
        x->current = -1;
    return item;
}

int array_items(Array x)
{
    return x ? x->items : 0;
}

void array_free(Array *x)
{
    if (!x || !*x) return;
    free((*x)->data);
    free(*x);
    *x = nullptr;
}

void array_free_fn(Array *x, ArrayFreeFn fn)
{
    if (!x || !*x) return;
    if (fn)
        for (int i = 0; i < (*x)->items; i++) fn(&(*x)->data[i]);
    array_free(x);
}

} // namespace adt
