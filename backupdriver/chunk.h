/* chunk.h - per-session tables of preserved and in-flight chunks. */
#ifndef VEK_CHUNK_H
#define VEK_CHUNK_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/atomic.h>
#include <linux/semaphore.h>

struct cow_session;

struct chunk_table {
	u32 hash_mask;			/* buckets - 1; a power of two minus one */
	struct list_head *table;	/* vmalloc'ed buckets, null when absent */
	sector_t page_shift;		/* unused */
	sector_t page_mask;		/* unused */
};

/* A preserved chunk; lives until the session is torn down. chunk_table under chunk_lock. */
struct cow_chunk {
	struct list_head list;
	int thread;			/* owning IO worker, -1 until first submitted */
	sector_t old_chunk;		/* chunk number on the source: the key */
	sector_t new_chunk;		/* slot in the worker's backing file */
};

/* A chunk with work in flight; if_table under if_lock, freed by its last reference. */
struct if_chunk {
	struct list_head list;
	sector_t chunk;
	atomic_t count;
	struct cow_chunk *cc;
	struct semaphore real_lock;	/* held by the creator until the old data is secured */
	struct semaphore virt_lock;	/* orders worker transfer against snapshot-device IO */
	struct list_head fc_list_head;	/* file_copy records of this chunk */
	struct list_head submit_list;	/* link in a worker's io_list; io_threads_lock */
	atomic_t processed;		/* bumped by the worker after each transfer pass */
	int anon;			/* 1: one snapshot request, never in the table */
	int created;			/* -1, 1 source write, 2 snapshot write; diagnostics only */
	int real_free;			/* 1 once the creator released both locks */
	int real_thread_free;
};

unsigned int down_to_power_of_2(unsigned int n);
sector_t get_chunk(sector_t sector_shift, sector_t chunk_mask, sector_t chunk_shift,
		   sector_t sector);
unsigned int chunk_hash(struct chunk_table *ct, sector_t chunk);
void *alloc_table(u64 n, u64 size);
int init_chunk_table(struct chunk_table *ct, unsigned int size);

/* Callers hold chunk_lock. */
void add_cow_chunk(struct chunk_table *ct, struct cow_chunk *cc);
struct cow_chunk *get_cow_chunk(struct chunk_table *ct, sector_t chunk);
/* Callers hold if_lock (through add_and_inc_if / get_and_inc_if). */
void add_if_chunk(struct chunk_table *ct, struct if_chunk *ic);
struct if_chunk *get_if_chunk(struct chunk_table *ct, sector_t chunk);

struct cow_chunk *alloc_cow_chunk(void);
struct if_chunk *alloc_if_chunk(sector_t chunk);
struct if_chunk *alloc_anon_if_chunk(struct cow_chunk *cc);
void free_cow_chunk(struct cow_chunk *cc);
void free_if_chunk(struct if_chunk *ic);
void put_cow_chunk_table(struct chunk_table *ct);
void put_cow_if_table(struct chunk_table *ct);

#endif
