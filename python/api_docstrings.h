// Docstrings of the Python classes Client and EncryptedIndex, one constant
// per member, shared by the files that register them.
#ifndef NIVORA_PYTHON_API_DOCSTRINGS_H_
#define NIVORA_PYTHON_API_DOCSTRINGS_H_

namespace nivora::python::docs {

// ---- Client ----------------------------------------------------------------

inline constexpr const char* kClientInit = R"(Initialize a new instance of Client.

            Parameters:
                api_key (str): API key for your NivoraDB account.
                index_location (DBConfig): Where the index, its vectors, metadata and ids are stored.
                config_location (DBConfig): Where the index configurations are stored: the indexes
                    that list_indexes finds and load_index opens.
                items_location (DBConfig): Where the item contents are stored.
                cpu_threads (int, optional): Number of CPU threads for the whole process (0 = all cores).
                    0 or a negative number keeps the current setting.
                gpu_config (GPUConfig, optional): GPU operations configuration. This build has no GPU
                    support: an operation whose flag is set fails.

            A DBConfig names one of "memory" (this client only), "threadsafememory" (shared by the
            whole process), "rocksdb" (connection_string: the data folder, ~/.nivoradb/data when not
            given), "redis" or "postgres" (both need table_name and connection_string).

            Raises:
                ValueError: If a DBConfig lacks what its location needs.
                RuntimeError: If a backing store cannot be opened (unreachable server, malformed
                    connection string, unusable folder).

            Example:
                >>> index_location = DBConfig("threadsafememory")
                >>> config_location = DBConfig("threadsafememory")
                >>> items_location = DBConfig("memory")
                >>> gpu_config = GPUConfig(upsert=False, train=False)
                >>> client = Client("your_api_key", index_location, config_location,
                ...                 items_location, cpu_threads=0, gpu_config=gpu_config)
                >>> client.is_gpu_enabled()
                False
            )";

inline constexpr const char* kListIndexes =
    R"(Returns a list of all encrypted index names accessible via the client.

            Returns:
                list[str]: The names of the indexes.

            Raises:
                ValueError: If the list of indexes could not be retrieved.

            Example:
                >>> index.index_name() in client.list_indexes()
                True
            )";

inline constexpr const char* kCreateIndex =
    R"(Creates and returns a new encrypted index based on the provided configuration.

            Parameters:
                index_name (str): The name of the index (must be unique).
                index_key (bytes): 32-byte encryption key for the index, used to secure index data.
                index_config (IndexConfig, optional): The index configuration. If not provided, uses IndexIVFSQ with 16-bit scalar quantization.
                embedding_model (str, optional): Name of the SentenceTransformer model to use for text embeddings.
                metric (str, optional): The distance metric: "euclidean" (default), "cosine" or "squared_euclidean". Overrides the metric of index_config.
                logger (Logger, optional): The logger to use.

            Returns:
                EncryptedIndex: A pointer to the newly created index.

            Raises:
                ValueError: If the index name, key, configuration or metric is invalid, or the index cannot be created.

            Examples:
                >>> index = client.create_index("my_index", key, IndexIVFFlat(dimension=1024), metric="cosine")
                >>> index.index_type(), index.dimension, index.metric
                ('ivfflat', 1024, 'cosine')
                >>> index.delete_index()
                >>> index = client.create_index("my_index", key, metric="cosine")
                >>> index.index_type(), index.index_config()["sq_bits"], index.metric
                ('ivfsq', 16, 'cosine')
                >>> index.delete_index()
                >>> index = client.create_index("my_index", key)
                >>> index.metric
                'euclidean'
            )";

inline constexpr const char* kLoadIndex =
    R"(Loads an existing encrypted index and returns an instance of EncryptedIndex.

            Parameters:
                index_name (str): The name of the index.
                index_key (bytes): The 32-byte key the index was created with.
                logger (Logger, optional): The logger to use.

            Returns:
                EncryptedIndex: A pointer to the loaded index.

            Raises:
                ValueError: If the name or key is invalid, or a location of the client is "memory".
                RuntimeError: If the index does not exist, the key does not open it, or it cannot
                    be loaded.

            Note:
                The open index holds its encrypted vectors, ids and metadata in memory, whatever
                the store: expect well over twice the size of its raw vectors.

            Example:
                >>> loaded = client.load_index(index.index_name(), key)
                >>> sorted(loaded.list_ids())
                ['id1', 'id2', 'id3']
            )";

inline constexpr const char* kGetCpuThreads =
    R"(Returns the number of CPU threads configured for this client.

            Returns:
                int: The number of CPU threads (0 = all cores).

            Example:
                >>> client.get_cpu_threads()
                0
            )";

inline constexpr const char* kIsGpuEnabled = R"(Checks if GPU acceleration is enabled for this client.

            Returns:
                bool: True if GPU acceleration is enabled, False otherwise.

            Example:
                >>> client.is_gpu_enabled()
                False
            )";

inline constexpr const char* kGetGpuConfig =
    R"(Returns the GPU operations configuration for this client.

            Returns:
                GPUConfig: The GPU operations configuration.

            Example:
                >>> client.get_gpu_config()
                GPUConfig(upsert=False, train=False, query=False)
            )";

// ---- EncryptedIndex ----------------------------------------------------------

inline constexpr const char* kIsTrained = R"(Checks if the index has been trained.

            Returns:
                bool: True if the index is trained, otherwise False.
            )";

inline constexpr const char* kIndexName = "Get the name of the index.\n\nReturns:\n    str: The name of the index.";

inline constexpr const char* kIndexType = R"(Gets the index type.

            Returns:
                str: The type of the index (e.g., 'ivf', 'ivfpq', or 'ivfflat').
            )";

inline constexpr const char* kIndexConfig = R"(Gets the configuration of the index.

            Returns:
                dict: The index configuration with the keys:
                    'dimension' (int): The vector dimension.
                    'metric' (str): The distance metric.
                    'index_type' (str): The index type.
                    'n_lists' (int): The number of inverted lists.
                    'pq_dim' (int): The PQ dimension (0 when not applicable).
                    'pq_bits' (int): The bits per PQ code (0 when not applicable).
                    'sq_bits' (int): The bits per SQ code (0 when not applicable).
            )";

inline constexpr const char* kNLists =
    R"(Gets the number of inverted lists (clusters) in the index.

            Returns:
                int: The number of lists. Returns 1 for untrained indexes.
            )";

inline constexpr const char* kDimension = R"(Gets the dimension of vectors in the index.

            Returns:
                int: The vector dimension.
            )";

inline constexpr const char* kMetric = R"(Gets the distance metric used by the index.

            Returns:
                str: The distance metric (euclidean, cosine, or squared_euclidean).
            )";

inline constexpr const char* kDeleteIndex =
    R"(Deletes the current index and all its associated data.

            Warning:
                This action is irreversible. Proceed with caution.

            Raises:
                RuntimeError: If the index could not be deleted.

            Example:
                >>> name = index.index_name()
                >>> index.delete_index()
                >>> name in client.list_indexes()
                False
            )";

inline constexpr const char* kGet =
    R"(Retrieves and decrypts items associated with the specified IDs.

            Parameters:
                ids (list[str]): The IDs of the items.
                include (list[str], optional): The fields to return: 'vector', 'contents' and 'metadata' (all three by default).

            Returns:
                list[dict]: Decrypted items with requested fields. IDs will always be included in the returned items.
                    'vector' is a list of float, 'contents' bytes (also when it was upserted as str),
                    'metadata' a dict.

            Raises:
                ValueError: If the arguments are invalid.
                RuntimeError: If the items could not be retrieved.

            Example:
                >>> index.get(["id1", "id3"], include=["contents", "metadata"])
                [{'id': 'id1', 'contents': b'first', 'metadata': {'tag': 'x', 'price': 5}},
                 {'id': 'id3', 'contents': b'', 'metadata': {}}]
            )";

inline constexpr const char* kTrain =
    R"(Builds the index using the specified training configuration.

            Before training, queries search the index exhaustively; after training they
            use approximate nearest-neighbour search over the trained lists.

            Parameters:
                n_lists (int, optional): The number of inverted lists. Default is 0 (auto).
                batch_size (int, optional): The k-means mini-batch size. Default is 0 (auto: 8192,
                    or 16384 from 1024 lists on).
                max_iters (int, optional): The maximum k-means iterations. Default is 100.
                tolerance (float, optional): The convergence tolerance. Default is 1e-6.
                max_memory (int, optional): Accepted and not used: training sets no memory limit.

            Note:
                Training needs at least 10,000 items: with fewer, train logs a WARNING and returns
                without training and without raising. At the default log level (ERROR) that
                WARNING is not shown: check is_trained() afterwards. There must also be at least
                2 * n_lists vector embeddings in the index. IVFFlat and IVFSQ indexes may be
                trained again; IVF and IVFPQ only once.

            Raises:
                ValueError: If there are fewer than 2 * n_lists items.
                RuntimeError: If the index cannot be trained.

            Example:
                >>> index.train()  # 3 items: a WARNING, nothing trained
                >>> index.is_trained()
                False
                >>> vectors = np.random.default_rng(0).random((10_000, 4), dtype=np.float32)
                >>> index.upsert([f"v{i}" for i in range(10_000)], vectors)
                >>> index.train(n_lists=16)
                >>> index.is_trained(), index.n_lists
                (True, 16)
            )";

inline constexpr const char* kUpsert =
    R"(Adds or updates vector embeddings in the index.

            Two calling forms:
                upsert(items): a list of dicts with 'id', 'vector' and optional 'contents'
                    and 'metadata'. When the index has an embedding model and an item has no
                    'vector', its 'contents' text is embedded automatically.
                upsert(ids, vectors): separate IDs (a list of str, or an integer NumPy array)
                    and a float32 NumPy matrix with one row per ID. The items get no contents
                    and no metadata: an ID already stored loses its contents and metadata.

            Contents given as str are stored as their UTF-8 bytes (get returns bytes).

            Parameters:
                arg1 (list[dict] | list[str] | np.ndarray): The items, or the IDs.
                arg2 (np.ndarray, optional): The vectors when arg1 holds the IDs.

            Raises:
                ValueError: If the arguments are invalid or the items cannot be stored.
                TypeError: If the arguments have the wrong types.

            Examples:
                >>> index.upsert([{"id": "a", "vector": [0.1, 0.2, 0.3, 0.4], "metadata": {"tag": "x"}}])
                >>> index.upsert(["b", "c"], np.random.rand(2, 4).astype(np.float32))
                >>> index.upsert(np.array([7, 8]), np.ones((2, 4), dtype=np.float32))
                >>> sorted(index.list_ids())
                ['7', '8', 'a', 'b', 'c', 'id1', 'id2', 'id3']
            )";

inline constexpr const char* kDelete =
    R"(Deletes the specified encrypted items stored in the index.

            Removes all associated fields (vector, contents, metadata) for the given IDs.

            Warning:
                This action is irreversible. Proceed with caution.

            Parameters:
                ids (list[str]): The IDs of the items to delete.

            Raises:
                ValueError: If the IDs are invalid.
                RuntimeError: If the items could not be deleted.

            Example:
                >>> index.delete(["id1", "id2"])
                >>> index.list_ids()
                ['id3']
                >>> index.get_num_vectors()  # positions handed out: a delete does not lower it
                3
            )";

inline constexpr const char* kQueryNumpy =
    R"(Ultra high-performance query function for benchmarking that returns only integer IDs.

            A streamlined query() for benchmarks: it takes NumPy inputs, expects integer IDs
            stored as strings, and supports no filters, metadata, distances or content queries.
            The GIL is released for the whole query.

            Parameters:
                query_vectors (np.ndarray): C-contiguous float32 query vectors.
                top_k (int, optional): The number of neighbours per query. Defaults to 100.
                n_probes (int, optional): The number of lists to probe. Defaults to 0 (auto).
                greedy (bool, optional): Probe more lists. Defaults to False.
                batch (bool, optional): Whether query_vectors holds several queries. Defaults to False.

            Returns:
                np.ndarray: For batch=False a 1-D int64 array of length k; for batch=True a
                    2-D array of shape (num_queries, k), where k is top_k or, when the index holds
                    fewer items, that number. Places without a result and IDs that cannot be
                    converted to integers are set to -1.

            Raises:
                ValueError: If the shape of query_vectors or top_k is invalid, or the query fails.
                TypeError: If query_vectors is not a C-contiguous float32 NumPy array.

            Examples:
                >>> numbered = client.create_index("numbered", key, IndexIVFFlat(4))
                >>> numbered.upsert(["10", "11", "x"], np.array([[1, 0, 0, 0], [2, 0, 0, 0], [5, 0, 0, 0]], dtype=np.float32))
                >>> numbered.query_numpy(np.array([1, 0, 0, 0], dtype=np.float32), top_k=3)
                array([10, 11, -1])
                >>> numbered.query_numpy(np.array([[1, 0, 0, 0], [2, 0, 0, 0]], dtype=np.float32), top_k=1, batch=True)
                array([[10],
                       [11]])
            )";

inline constexpr const char* kQuery =
    R"(Retrieves the nearest neighbors for given query vectors.

            Parameters:
                query_vectors (np.ndarray | list, optional): One query vector or several; a NumPy
                    array must be float32.
                query_contents (str, optional): A text to embed with the index's embedding model.
                top_k (int, optional): The number of neighbours per query. If None, defaults to 100.
                n_probes (int, optional): The number of lists to probe. Defaults to 0 for auto-calculation.
                filters (dict, optional): A metadata filter. Defaults to {}.
                include (list[str], optional): "metadata" fills each result's metadata (an empty dict
                    otherwise) and "distance" computes distances; both by default.
                greedy (bool, optional): Probe more lists. Defaults to False.

            Returns:
                list[dict]: For a single query (one vector, a text, or a matrix of one row), a
                    list of dicts with 'id', 'distance' and 'metadata', nearest first; for several
                    queries, a list of such lists.

            Raises:
                ValueError: If the arguments are invalid or the query fails.
                TypeError: If the arguments have the wrong types.

            Note:
                An untrained index is searched exhaustively. Use query_numpy() for benchmarks.

            Examples:
                >>> index.query(np.array([1, 0, 0, 0], dtype=np.float32), top_k=2)
                [{'id': 'id1', 'distance': 0.0, 'metadata': {'tag': 'x', 'price': 5}},
                 {'id': 'id3', 'distance': 1.0, 'metadata': {}}]
                >>> results = index.query([[1, 0, 0, 0], [0, 1, 0, 0]], top_k=1, filters={"tag": "y"})
                >>> [[(hit["id"], hit["distance"]) for hit in hits] for hits in results]
                [[('id2', 3.1622776985168457)], [('id2', 2.0)]]
            )";

inline constexpr const char* kGetNumVectors = "Get the number of vectors stored in the index.";

inline constexpr const char* kListIds = R"(Lists all item IDs currently stored in the index.

            Returns:
                list[str]: The IDs.

            Raises:
                ValueError: If the index was not created or loaded yet, or if an error occurs during retrieval.

            Example:
                >>> sorted(index.list_ids())
                ['id1', 'id2', 'id3']
            )";

}  // namespace nivora::python::docs

#endif  // NIVORA_PYTHON_API_DOCSTRINGS_H_
