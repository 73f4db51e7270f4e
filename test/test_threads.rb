require_relative "helper"

# Several Ruby threads, each with its own Parvox objects, adding and
# extracting at the same time: no state may leak from one archive into
# another.
class TestThreads < ParvoxTest
  THREADS = 6
  ROUNDS = 4

  def test_threads_write_and_extract_their_own_archives
    sources = Array.new(THREADS) do |t|
      make_tree(path("src#{t}"), "own#{t}.txt" => "thread #{t} " * (t + 1) * 500,
                                 "d/noise.bin" => noise(70_000 + t, t), "d/e/" => nil)
    end
    results = Array.new(THREADS) do |t|
      Thread.new do
        password = t.even? ? "" : "pw#{t}"
        Array.new(ROUNDS) do |r|
          archive = path("t#{t}-#{r}.zip")
          zip = Parvox.new(archive, password)
          ok = zip.add_file(sources[t], "tree", true, true)
          Thread.pass
          zip.close
          reader = Parvox.load(archive, password)
          ok &&= reader.unzip_all(path("out#{t}-#{r}"))
          ok &&= reader.unzip_file("TREE/OWN#{t}.TXT", path("one#{t}-#{r}.txt"))
          reader.close
          [ok, tree_of(path("out#{t}-#{r}", "tree")), File.binread(path("one#{t}-#{r}.txt"))]
        end
      end
    end.map(&:value)

    results.each_with_index do |rounds, t|
      rounds.each_with_index do |(ok, tree, one), r|
        assert ok, "thread #{t}, round #{r} failed"
        assert_equal tree_of(sources[t]), tree, "thread #{t}, round #{r}"
        assert_equal File.binread(File.join(sources[t], "own#{t}.txt")), one
      end
    end
  end

  def test_threads_read_one_archive_through_their_own_objects
    make_tree(path("src"), "a.txt" => "shared " * 2000, "b/c.bin" => noise(200_000))
    zip_folder(path("src"), "s", password: "shared")
    outcomes = Array.new(THREADS) do |t|
      Thread.new do
        reader = Parvox.load(path("t.zip"), "shared")
        answers = Array.new(ROUNDS) { |r| reader.unzip_all(path("r#{t}", r.to_s)) }
        reader.close
        answers
      end
    end.map(&:value)
    assert_equal [[true] * ROUNDS] * THREADS, outcomes
    THREADS.times { |t| ROUNDS.times { |r| assert_equal tree_of(path("src")), tree_of(path("r#{t}", r.to_s, "s")) } }
  end
end
