#include "host/Generation.h"

namespace host {
namespace {

Generation g_generation = Generation::Outlook2016;

} // namespace

Generation CurrentGeneration()
{
    return g_generation;
}

PlayOutlook::PlayOutlook(Generation generation) : m_previous(g_generation)
{
    g_generation = generation;
}

PlayOutlook::~PlayOutlook()
{
    g_generation = m_previous;
}

} // namespace host
