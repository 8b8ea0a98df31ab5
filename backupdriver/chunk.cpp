/*
 * chunk.cpp - chunk arithmetic and the per-session tables of preserved (cow_chunk) and
 * in-flight (if_chunk) chunks.
 *
 * The table operations take no lock: callers hold chunk_lock for the chunk table and
 * if_lock for the in-flight table (both irqsave, never nested).
 */
#include "cow.h"

#include <linux/vmalloc.h>

unsigned int down_to_power_of_2(unsigned int n)
{
	unsigned int p = 1;

	if (!n)
		return 0;
	while (n >>= 1)
		p <<= 1;
	return p;
}

sector_t get_chunk(sector_t sector_shift, sector_t chunk_mask, sector_t chunk_shift,
		   sector_t sector)
{
	return ((sector << sector_shift) & ~chunk_mask) >> chunk_shift;
}

/* Only the low 32 bits of the chunk take part: the mask is 32-bit. */
unsigned int chunk_hash(struct chunk_table *ct, sector_t chunk)
{
	return ct->hash_mask & (u32)chunk;
}

void *alloc_table(u64 n, u64 size)
{
	void *table = vmalloc(n * size);

	if (table)
		memset(table, 0, n * size);
	return table;
}

/* size: a non-zero power of two. Returns 0 or -ENOMEM (table then null). */
int init_chunk_table(struct chunk_table *ct, unsigned int size)
{
	unsigned int i;

	ct->hash_mask = size - 1;
	ct->table = (struct list_head *)alloc_table(size, sizeof(struct list_head));
	if (!ct->table)
		return -ENOMEM;
	for (i = 0; i < size; i++)
		INIT_LIST_HEAD(&ct->table[i]);
	return 0;
}

/* Caller holds chunk_lock. */
void add_cow_chunk(struct chunk_table *ct, struct cow_chunk *cc)
{
	list_add(&cc->list, &ct->table[chunk_hash(ct, cc->old_chunk)]);
}

/* Caller holds chunk_lock. */
struct cow_chunk *get_cow_chunk(struct chunk_table *ct, sector_t chunk)
{
	struct cow_chunk *cc;

	if (!ct || !ct->table)
		return NULL;
	list_for_each_entry(cc, &ct->table[chunk_hash(ct, chunk)], list) {
		if (cc->old_chunk == chunk)
			return cc;
	}
	return NULL;
}

/* Caller holds if_lock (add_and_inc_if). */
void add_if_chunk(struct chunk_table *ct, struct if_chunk *ic)
{
	list_add(&ic->list, &ct->table[chunk_hash(ct, ic->chunk)]);
}

/* Caller holds if_lock (get_and_inc_if). */
struct if_chunk *get_if_chunk(struct chunk_table *ct, sector_t chunk)
{
	struct if_chunk *ic;

	if (!ct || !ct->table)
		return NULL;
	list_for_each_entry(ic, &ct->table[chunk_hash(ct, chunk)], list) {
		if (ic->chunk == chunk)
			return ic;
	}
	return NULL;
}

/* May sleep (GFP_NOIO: never recurses into block IO). */
struct cow_chunk *alloc_cow_chunk(void)
{
	struct cow_chunk *cc = (struct cow_chunk *)kmalloc(sizeof(*cc), GFP_NOIO);

	if (!cc)
		return NULL;
	memset(cc, 0, sizeof(*cc));
	cc->thread = -1;
	return cc;
}

/* Born with both semaphores held by the caller and no reference counted yet. */
struct if_chunk *alloc_if_chunk(sector_t chunk)
{
	struct if_chunk *ic = (struct if_chunk *)kmalloc(sizeof(*ic), GFP_NOIO);

	if (!ic)
		return NULL;
	memset(ic, 0, sizeof(*ic));
	ic->chunk = chunk;
	atomic_set(&ic->count, 0);
	sema_init(&ic->real_lock, 0);
	sema_init(&ic->virt_lock, 0);
	INIT_LIST_HEAD(&ic->fc_list_head);
	atomic_set(&ic->processed, 0);
	ic->anon = 0;
	ic->created = -1;
	ic->real_free = 0;
	ic->real_thread_free = 0;
	return ic;
}

/* One snapshot-device request on a preserved chunk: free semaphores, one reference. */
struct if_chunk *alloc_anon_if_chunk(struct cow_chunk *cc)
{
	struct if_chunk *ic = alloc_if_chunk(cc->old_chunk);

	if (!ic)
		return NULL;
	up(&ic->real_lock);
	up(&ic->virt_lock);
	ic->cc = cc;
	ic->anon = 1;
	atomic_set(&ic->count, 1);
	return ic;
}

void free_cow_chunk(struct cow_chunk *cc)
{
	kfree(cc);
}

void free_if_chunk(struct if_chunk *ic)
{
	kfree(ic);
}

/* Frees every record without unlinking them one by one: the buckets go too. */
static void put_table(struct chunk_table *ct, void (*free_rec)(struct list_head *))
{
	struct list_head *pos, *next;
	int n, i;

	if (!ct || !ct->table)
		return;
	n = (int)(ct->hash_mask + 1);
	for (i = 0; i < n; i++) {
		for (pos = ct->table[i].next, next = pos->next; pos != &ct->table[i];
		     pos = next, next = pos->next)
			free_rec(pos);
	}
	vfree(ct->table);
	ct->table = NULL;
}

static void free_cow_link(struct list_head *l)
{
	free_cow_chunk(list_entry(l, struct cow_chunk, list));
}

static void free_if_link(struct list_head *l)
{
	free_if_chunk(list_entry(l, struct if_chunk, list));
}

/* Teardown: every request, worker and snapshot user of the session has left. */
void put_cow_chunk_table(struct chunk_table *ct)
{
	put_table(ct, free_cow_link);
}

void put_cow_if_table(struct chunk_table *ct)
{
	put_table(ct, free_if_link);
}
